// The reports module: report documents, the report store beside a capture, the
// HTML presentation and the portable export.
namespace snagreel::reports {} // namespace snagreel::reports

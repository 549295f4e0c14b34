// Renders a Markdown report file to the HTML page on standard output, the way
// the share package writes index.html; used by report-page-check.sh.
//
//   snagreel-render-report REPORT.md [TITLE] > index.html

#include "SnagreelReports/ReportPresentation.hpp"

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: snagreel-render-report REPORT.md [TITLE]\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << argv[1] << "\n";
        return 1;
    }
    const std::string markdown{std::istreambuf_iterator<char>(in), {}};
    std::cout << snagreel::ReportPresentation::html(markdown, argc == 3 ? argv[2] : "");
    return std::cout.good() ? 0 : 1;
}

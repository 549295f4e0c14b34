#include "SnagreelApp/Ui/ReportPreview.hpp"

#include "SnagreelApp/Ui/ReportLinks.hpp"
#include "SnagreelReports/ReportPresentation.hpp"

#include <QDesktopServices>
#include <QFontDatabase>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>

namespace snagreel::app {
namespace {

namespace rp = ReportPresentation;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

constexpr double kHeadingScale[] = {1.75, 1.4, 1.2, 1.1, 1.0, 1.0};

void insertInline(QTextCursor& cursor, const std::string& text, const QTextCharFormat& base) {
    for (const rp::InlineSpan& span : rp::inlineSpans(text)) {
        QTextCharFormat format = base;
        switch (span.kind) {
        case rp::InlineSpan::Kind::text:
            break;
        case rp::InlineSpan::Kind::code:
            format.setFontFamilies({QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
            format.setBackground(QColor(0xee, 0xf1, 0xeb));
            break;
        case rp::InlineSpan::Kind::strong:
            format.setFontWeight(QFont::Bold);
            break;
        case rp::InlineSpan::Kind::emphasis:
            format.setFontItalic(true);
            break;
        case rp::InlineSpan::Kind::link:
            format.setAnchor(true);
            format.setAnchorHref(qs(span.target));
            format.setFontUnderline(true);
            format.setForeground(QColor(0x28, 0x5c, 0x3e));
            format.setToolTip(qs(span.target));
            break;
        }
        // Paragraph lines keep their breaks as line separators inside one block.
        QString shown = qs(span.text);
        shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
        cursor.insertText(shown, format);
    }
}

void renderBlocks(QTextDocument& document, const std::vector<rp::Block>& blocks) {
    QTextCursor cursor(&document);
    const QTextCharFormat plain;
    QTextBlockFormat spaced;
    spaced.setTopMargin(4);
    spaced.setBottomMargin(8);
    bool first = true;
    auto newBlock = [&](const QTextBlockFormat& format, const QTextCharFormat& chars = {}) {
        if (first) {
            cursor.setBlockFormat(format);
            cursor.setBlockCharFormat(chars);
            first = false;
        } else {
            cursor.insertBlock(format, chars);
        }
    };
    auto insertBullets = [&](const std::vector<std::string>& items) {
        QTextListFormat listFormat;
        listFormat.setStyle(QTextListFormat::ListDisc);
        QTextList* list = nullptr;
        for (const std::string& item : items) {
            newBlock(spaced);
            if (!list)
                list = cursor.createList(listFormat);
            else
                list->add(cursor.block());
            insertInline(cursor, item, plain);
        }
    };
    // Numbers are written out: an ordered list may start anywhere, and the
    // text engine's own numbering here always starts at one.
    auto insertNumbered = [&](const std::vector<std::string>& items, int start) {
        QTextBlockFormat format = spaced;
        format.setIndent(1);
        format.setTextIndent(-24);
        long long number = start;
        for (const std::string& item : items) {
            newBlock(format);
            cursor.insertText(QStringLiteral("%1. ").arg(number++), plain);
            insertInline(cursor, item, plain);
        }
    };
    for (const rp::Block& block : blocks) {
        if (const auto* heading = std::get_if<rp::Heading>(&block)) {
            QTextBlockFormat format = spaced;
            format.setHeadingLevel(heading->level);
            format.setTopMargin(12);
            QTextCharFormat chars;
            chars.setFontWeight(QFont::Bold);
            chars.setFontPointSize(document.defaultFont().pointSizeF() *
                                   kHeadingScale[std::clamp(heading->level, 1, 6) - 1]);
            newBlock(format, chars);
            insertInline(cursor, heading->text, chars);
        } else if (const auto* paragraph = std::get_if<rp::Paragraph>(&block)) {
            newBlock(spaced);
            insertInline(cursor, paragraph->text, plain);
        } else if (const auto* bullets = std::get_if<rp::BulletList>(&block)) {
            insertBullets(bullets->items);
        } else if (const auto* numbered = std::get_if<rp::NumberedList>(&block)) {
            insertNumbered(numbered->items, numbered->start);
        } else if (const auto* code = std::get_if<rp::Code>(&block)) {
            // Lines of one code block sit flush against each other.
            QTextBlockFormat format;
            format.setBackground(QColor(0xee, 0xf1, 0xeb));
            format.setNonBreakableLines(true);
            QTextCharFormat chars;
            chars.setFontFamilies({QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
            chars.setFontFixedPitch(true);
            // One block per line keeps the lines of a code block as they were written.
            QString text = qs(code->text);
            const QStringList lines = text.split(QLatin1Char('\n'));
            for (const QString& line : lines) {
                newBlock(format, chars);
                cursor.insertText(line, chars);
            }
        }
    }
}

} // namespace

ReportPreview::ReportPreview(QWidget* parent) : QTextBrowser(parent) {
    setReadOnly(true);
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setTextInteractionFlags(Qt::TextBrowserInteraction);
    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    connect(this, &QTextBrowser::anchorClicked, this, &ReportPreview::activateLink);
}

void ReportPreview::setReport(std::string_view markdown,
                              const std::filesystem::path& captureDirectory) {
    captureDirectory_ = captureDirectory;
    auto* doc = document();
    doc->clear();
    doc->setDocumentMargin(16);
    renderBlocks(*doc, rp::blocks(markdown));
    moveCursor(QTextCursor::Start);
}

QVariant ReportPreview::loadResource(int, const QUrl&) {
    // Reports come from engines; nothing they name is ever fetched or read.
    return {};
}

void ReportPreview::activateLink(const QUrl& link) {
    const reportlink::Action action = reportlink::classify(link, captureDirectory_);
    if (const auto* seek = std::get_if<reportlink::Seek>(&action)) {
        if (seekClip)
            seekClip(seek->seconds);
    } else if (const auto* file = std::get_if<reportlink::OpenFile>(&action)) {
        if (openUrl)
            openUrl(QUrl::fromLocalFile(QString::fromStdString(file->path.string())));
    } else if (const auto* web = std::get_if<reportlink::OpenWeb>(&action)) {
        if (openUrl)
            openUrl(web->url);
    }
}

} // namespace snagreel::app

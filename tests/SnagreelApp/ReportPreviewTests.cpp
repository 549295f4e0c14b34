#include "SnagreelApp/Ui/ReportLinks.hpp"
#include "SnagreelApp/Ui/ReportPreview.hpp"
#include "tests/support/TemporaryDirectory.hpp"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

namespace snagreel::app {
namespace {

namespace fs = std::filesystem;

class ReportPreviewLinks : public ::testing::Test {
protected:
    void SetUp() override {
        capture = directory.path() / "capture";
        fs::create_directories(capture / "evidence");
        for (const char* name : {"clip.mp4", "evidence/shot.PNG", "evidence/drawing.svg"})
            std::ofstream(capture / name) << "x";
        std::ofstream(directory.path() / "outside.png") << "secret";
        fs::create_symlink(directory.path() / "outside.png", capture / "evidence" / "link.png");
        fs::create_directory_symlink(directory.path(), capture / "evidence" / "up");
        preview.setReport("", capture);
        preview.openUrl = [this](const QUrl& url) { opened = url; };
        preview.seekClip = [this](double seconds) { sought = seconds; };
    }

    void click(const QString& link) {
        opened.reset();
        sought.reset();
        preview.activateLink(QUrl(link));
    }

    testing::TemporaryDirectory directory;
    fs::path capture;
    ReportPreview preview;
    std::optional<QUrl> opened;
    std::optional<double> sought;
};

TEST_F(ReportPreviewLinks, ClipFragmentsSeekOrAreIgnored) {
    click("clip.mp4#t=12.5");
    EXPECT_EQ(sought, 12.5);
    click("clip.mp4#t=abc");
    EXPECT_EQ(sought, 0.0);
    click("clip.mp4#t=-3");
    EXPECT_FALSE(sought);
    click(QString::fromStdString(
              QUrl::fromLocalFile(QString::fromStdString((capture / "clip.mp4").string()))
                  .toString()
                  .toStdString()) +
          "#t=4");
    EXPECT_EQ(sought, 4.0);
    EXPECT_FALSE(opened);
}

TEST_F(ReportPreviewLinks, OnlyRealEvidenceImagesAndWebPagesOpen) {
    click("evidence/shot.PNG");
    ASSERT_TRUE(opened);
    EXPECT_EQ(fs::path(opened->toLocalFile().toStdString()),
              fs::canonical(capture / "evidence" / "shot.PNG"));
    click("https://example.com/page");
    EXPECT_EQ(opened, QUrl("https://example.com/page"));

    for (const char* refused :
         {"evidence/drawing.svg", "ftp://example.com/a.png", "https:///nohost",
          "evidence/../../outside.png", "evidence/%2e%2e/%2e%2e/outside.png", "evidence/link.png",
          "evidence/up/outside.png", "report.md", "file:///etc/passwd", "javascript:alert(1)"}) {
        click(QString::fromLatin1(refused));
        EXPECT_FALSE(opened) << refused;
        EXPECT_FALSE(sought) << refused;
    }
}

TEST(ReportPreviewRendering, BlocksBecomeRichTextAndNothingIsFetched) {
    ReportPreview preview;
    preview.setReport("# Title\n\nSome **bold** and a [link](https://example.com/x).\n\n"
                      "5. five\n6. six\n\n- dot\n\n```\nline one\n  line "
                      "two\n```\n\n![img](https://example.com/i.png)",
                      "/nonexistent");
    const QTextDocument* doc = preview.document();

    int headings = 0, codeLines = 0;
    QStringList numbered;
    const QTextList* bullets = nullptr;
    QString anchor;
    bool sawBold = false;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() == 1 && block.text() == "Title")
            ++headings;
        if (block.blockFormat().nonBreakableLines())
            ++codeLines;
        if (const QTextList* list = block.textList();
            list && list->format().style() == QTextListFormat::ListDisc)
            bullets = list;
        if (block.blockFormat().indent() == 1)
            numbered << block.text();
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().isAnchor())
                anchor = fragment.charFormat().anchorHref();
            if (fragment.text() == "bold" && fragment.charFormat().fontWeight() == QFont::Bold)
                sawBold = true;
        }
    }
    EXPECT_EQ(headings, 1);
    EXPECT_TRUE(sawBold);
    EXPECT_EQ(anchor, "https://example.com/x");
    EXPECT_EQ(numbered, QStringList({"5. five", "6. six"}));
    ASSERT_NE(bullets, nullptr);
    EXPECT_EQ(bullets->count(), 1);
    EXPECT_EQ(codeLines, 2);
    // The image stays its source text and no resource is ever handed out.
    EXPECT_TRUE(doc->toPlainText().contains("![img](https://example.com/i.png)"));
    EXPECT_FALSE(
        preview.loadResource(QTextDocument::ImageResource, QUrl("https://example.com/i.png"))
            .isValid());
}

} // namespace
} // namespace snagreel::app

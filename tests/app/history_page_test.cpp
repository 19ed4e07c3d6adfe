// The history page against real files in a throw-away program directory.
#include "app/pages/history_record.h"
#include "app/shell_fixture.h"
#include "config/readers.h"

#include <QChart>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <QTextDocument>

#include <gmock/gmock.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace quorvane
{
namespace
{

using ::testing::HasSubstr;

// The text a tooltip shows: Qt renders one that looks like markup as rich
// text.
QString shownTip(const QString& tip)
{
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument doc;
    doc.setHtml(tip);
    return doc.toPlainText();
}

constexpr unsigned kOdd = CHistoryRecord::kOddRowRgb;
constexpr unsigned kEven = CHistoryRecord::kEvenRowRgb;

class HistoryPageTest : public testing::ShellTest
{
protected:
    void SetUp() override
    {
        ShellTest::SetUp();
        session.set(UserSession{"7", "alice", "", "", ""});
        std::filesystem::create_directories(m_dir / "Config");
        std::filesystem::create_directories(m_dir / "HistoryRecord");
        writeFile("Config/settings7.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                          "<auto><tasks/><history><bsave>true</bsave></history></auto>\r\n");
    }

    void writeFile(const std::string& name, const std::string& text)
    {
        std::ofstream(m_dir / name, std::ios::binary) << text;
    }
    void writeHistory(const std::string& text) { writeFile("HistoryRecord/HistoryRecord7.txt", text); }

    static std::vector<std::string> column(const CHistoryRecord& page, int c)
    {
        std::vector<std::string> out;
        for (int r = 0; r < page.grid()->rowCount(); ++r)
            out.push_back(page.grid()->item(r, c)->text().toStdString());
        return out;
    }
    static std::vector<unsigned> colours(const CHistoryRecord& page)
    {
        std::vector<unsigned> out;
        for (int r = 0; r < page.grid()->rowCount(); ++r)
            out.push_back(page.grid()->item(r, 0)->background().color().rgb() & 0xffffff);
        return out;
    }
};

const char* const kThree = "2024-05-01 08:00:00,手动,带宽测速,北京电信,94.3Mb/s;\n"
                           "2024-05-01 09:00:00,自动,文件下载,5MB测试文件,812 KB/s;\n"
                           "2024-05-01 10:00:00,自动,网页性能,http://news.example.cn/,2.31 s;\n";

TEST_F(HistoryPageTest, GridShowsTheFileNewestFirstWithColoursByListPosition)
{
    writeHistory(kThree);
    CHistoryRecord page(context);
    page.OnInitDialog();

    EXPECT_EQ(page.countLabel()->text(), QStringLiteral("总条数: 3"));
    EXPECT_EQ(column(page, 0),
              (std::vector<std::string>{"2024-05-01 10:00:00", "2024-05-01 09:00:00", "2024-05-01 08:00:00"}));
    EXPECT_EQ(column(page, 4), (std::vector<std::string>{"2.31 s", "812 KB/s", "94.3Mb/s"}));
    // Positions 3, 2, 1 of the list.
    EXPECT_EQ(colours(page), (std::vector<unsigned>{kOdd, kEven, kOdd}));

    QTableWidget* g = page.grid();
    ASSERT_EQ(g->columnCount(), 5);
    const char* titles[] = {"测速时间", "类型", "测速类型", "名称", "指标"};
    const int widths[] = {130, 60, 90, 110, 78};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(g->horizontalHeaderItem(c)->text(), QString::fromUtf8(titles[c]));
        EXPECT_EQ(g->columnWidth(c), widths[c]);
    }
    EXPECT_EQ(g->rowHeight(0), 35);
    EXPECT_FALSE(g->showGrid());
    EXPECT_EQ(g->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(g->item(0, 0)->flags() & Qt::ItemIsEditable);
    // Three kinds with numbers: three lines in the chart.
    EXPECT_EQ(page.chart()->series().size(), 3);
}

TEST_F(HistoryPageTest, TheChosenContractIsDrawnAndBandwidthRowsShortOfItAreMarked)
{
    writeHistory("2024-05-01 07:00:00,自动,带宽测速,北京电信,38.1Mb/s;\n"
                 "2024-05-01 08:00:00,手动,带宽测速,北京电信,94.3Mb/s;\n"
                 "2024-05-01 09:00:00,自动,文件下载,5MB测试文件,2 KB/s;\n");
    writeFile("Config/settings7.xml",
              "<auto><contband><bandmap id=\"6\">100M</bandmap></contband><contractNotice><percent>60</percent>"
              "</contractNotice></auto>");
    // Stored, but never picked on the bandwidth page: nothing is judged.
    writeFile("conf/ipconfig.properties", "52-54-00-12-34-56=6\r\n");
    CHistoryRecord page(context);
    page.OnInitDialog();
    EXPECT_FALSE(page.contract());
    EXPECT_EQ(colours(page), (std::vector<unsigned>{kOdd, kEven, kOdd}));
    EXPECT_EQ(page.chart()->series().size(), 2);

    writeFile("conf/ipconfig.properties", "52-54-00-12-34-56=6\r\ncontract_chosen_52-54-00-12-34-56=true\r\n");
    page.OnInitDialog();
    ASSERT_TRUE(page.contract());
    // Only the bandwidth result under 60 % of the contract (39 %) is marked.
    EXPECT_EQ(colours(page), (std::vector<unsigned>{kOdd, kEven, CHistoryRecord::kShortRowRgb}));
    EXPECT_EQ(shownTip(page.grid()->item(2, 4)->toolTip()), QStringLiteral("38.1Mb/s（达到签约带宽的 39%）"));
    QLineSeries* line = nullptr;
    for (QAbstractSeries* s : page.chart()->series())
        if (s->name() == QStringLiteral("签约带宽 100M"))
            line = static_cast<QLineSeries*>(s);
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(line->count(), 2);
    // In the chart's own Mb, level across the whole time axis.
    EXPECT_NEAR(line->at(0).y(), 95.367, 0.001);
    EXPECT_EQ(line->at(1).y(), line->at(0).y());
    EXPECT_LT(line->at(0).x(), line->at(1).x());
}

TEST_F(HistoryPageTest, EdgeCasesOfTheFile)
{
    const struct {
        const char* what;
        const char* file; // nullptr: no file
        int rows;
        std::vector<std::string> firstRow;
    } cases[] = {
        {"no file", nullptr, 0, {}},
        {"every line 20 bytes or less", "short,line;\n12345678901234567,9;\n", 0, {}},
        {"a malformed record fills only its cells",
         "2024-05-01 08:00:00,手动,带宽测速;\n",
         1,
         {"2024-05-01 08:00:00", "手动", "带宽测速", "", ""}},
        {"a name with a comma keeps the result in its column",
         "2024-05-01 08:00:00,手动,网页性能,http://a.cn/?x=1,y=2,1.5 s;\n",
         1,
         {"2024-05-01 08:00:00", "手动", "网页性能", "http://a.cn/?x=1,y=2", "1.5 s"}},
        {"a name that looks like markup shows as it stands",
         "2024-05-01 08:00:00,手动,文件下载,<img src=x><b>粗</b>,1 KB/s;\n",
         1,
         {"2024-05-01 08:00:00", "手动", "文件下载", "<img src=x><b>粗</b>", "1 KB/s"}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(m_dir / "HistoryRecord/HistoryRecord7.txt");
        if (c.file)
            writeHistory(c.file);
        CHistoryRecord page(context);
        page.OnInitDialog();
        EXPECT_EQ(page.grid()->rowCount(), c.rows) << c.what;
        EXPECT_EQ(page.countLabel()->text(), QStringLiteral("总条数: %1").arg(c.rows)) << c.what;
        if (c.rows) {
            std::vector<std::string> cells, tips;
            for (int col = 0; col < 5; ++col) {
                cells.push_back(page.grid()->item(0, col)->text().toStdString());
                if (!cells.back().empty())
                    tips.push_back(shownTip(page.grid()->item(0, col)->toolTip()).toStdString());
            }
            EXPECT_EQ(cells, c.firstRow) << c.what;
            std::vector<std::string> filled;
            std::copy_if(cells.begin(), cells.end(), std::back_inserter(filled), [](auto& x) { return !x.empty(); });
            EXPECT_EQ(tips, filled) << c.what;
        }
        EXPECT_FALSE(page.problemLine()->isVisibleTo(&page)) << c.what;
    }
}

TEST_F(HistoryPageTest, SearchFiltersGridCountAndChart)
{
    writeHistory(std::string(kThree) + "2024-05-01 11:00:00,自动,自动测速,无效数据,无线上网;\n");
    CHistoryRecord page(context);
    page.OnInitDialog();
    ASSERT_EQ(page.grid()->rowCount(), 4);

    const struct {
        const char* text;
        std::vector<std::string> times;
        std::vector<unsigned> colours;
        int series;
    } cases[] = {
        // "自动" is both the mode and the kind of the rejected round: once.
        {"自动", {"2024-05-01 11:00:00", "2024-05-01 10:00:00", "2024-05-01 09:00:00"}, {kOdd, kEven, kOdd}, 2},
        {"MB", {"2024-05-01 09:00:00"}, {kOdd}, 1},
        {"mb", {}, {}, 0},
        {"",
         {"2024-05-01 11:00:00", "2024-05-01 10:00:00", "2024-05-01 09:00:00", "2024-05-01 08:00:00"},
         {kEven, kOdd, kEven, kOdd},
         3},
    };
    for (const auto& c : cases) {
        page.searchEdit()->setText(QString::fromUtf8(c.text));
        EXPECT_EQ(column(page, 0), c.times) << c.text;
        EXPECT_EQ(colours(page), c.colours) << c.text;
        EXPECT_EQ(page.countLabel()->text(), QStringLiteral("总条数: %1").arg(c.times.size())) << c.text;
        EXPECT_EQ(page.chart()->series().size(), c.series) << c.text;
    }
}

TEST_F(HistoryPageTest, ReopeningRereadsTheFileAndScrollsToTheLastRow)
{
    writeHistory(kThree);
    CHistoryRecord page(context);
    page.resize(539, 557);
    page.OnInitDialog();
    std::string more = kThree;
    for (int i = 0; i < 20; ++i)
        more += "2024-05-02 0" + std::to_string(i % 10) + ":00:00,手动,带宽测速,上海联通,50.0Mb/s;\n";
    writeHistory(more);
    EXPECT_EQ(page.grid()->rowCount(), 3) << "nothing changes until the page is opened again";
    page.show();
    page.OnInitDialog();
    EXPECT_EQ(page.grid()->rowCount(), 23);
    QScrollBar* bar = page.grid()->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(HistoryPageTest, KeepBoxWritesTheSettingsDocumentOrSaysWhyNot)
{
    CHistoryRecord page(context);
    page.OnInitDialog();
    ASSERT_TRUE(page.saveBox()->isChecked());
    for (bool keep : {false, true, false}) {
        QTest::mouseClick(page.saveBox(), Qt::LeftButton, {}, QPoint(8, page.saveBox()->height() / 2));
        EXPECT_EQ(page.saveBox()->isChecked(), keep);
        EXPECT_EQ(ReadHistorySaving("7"), keep);
    }
    EXPECT_FALSE(page.problemLine()->isVisibleTo(&page));

    // A user who never opened the settings page gets the document from the
    // template, with the shipped choice.
    std::filesystem::remove(m_dir / "Config/settings7.xml");
    std::filesystem::copy_file(std::filesystem::path(QUORVANE_SOURCE_DIR) / "dist/Config/settings.xml",
                               m_dir / "Config/settings.xml");
    page.OnInitDialog();
    EXPECT_TRUE(page.saveBox()->isChecked());
    QTest::mouseClick(page.saveBox(), Qt::LeftButton, {}, QPoint(8, page.saveBox()->height() / 2));
    EXPECT_FALSE(ReadHistorySaving("7"));
    EXPECT_TRUE(ReadHistorySaving("")) << "the template itself is not written";

    // A document that cannot be parsed is set aside and the fresh one is
    // used; one that is a folder cannot be saved: the box goes back.
    const std::string broken = "<auto><history><bsave>false</bsave>";
    writeFile("Config/settings7.xml", broken);
    page.OnInitDialog();
    EXPECT_TRUE(page.problemLine()->isVisibleTo(&page));
    EXPECT_THAT(page.problemLine()->text().toStdString(), HasSubstr("无法读取"));
    EXPECT_TRUE(page.saveBox()->isChecked());
    std::ifstream in(m_dir / "Config/settings7.xml.unreadable");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), broken);

    QTest::mouseClick(page.saveBox(), Qt::LeftButton, {}, QPoint(8, page.saveBox()->height() / 2));
    ASSERT_FALSE(ReadHistorySaving("7"));
    std::filesystem::remove(m_dir / "Config/settings7.xml");
    std::filesystem::create_directory(m_dir / "Config/settings7.xml");
    QTest::mouseClick(page.saveBox(), Qt::LeftButton, {}, QPoint(8, page.saveBox()->height() / 2));
    EXPECT_FALSE(page.saveBox()->isChecked()) << "back to what can be read";
    EXPECT_THAT(page.problemLine()->text().toStdString(), HasSubstr("settings7.xml 无法写入"));
}

TEST_F(HistoryPageTest, ExportWritesTheShownRecords)
{
    writeHistory(kThree);
    CHistoryRecord page(context);
    page.OnInitDialog();
    page.searchEdit()->setText(QStringLiteral("自动"));
    const QString file = QString::fromStdString((m_dir / "out.csv").string());
    page.chooseExportFile = [&](QWidget*) { return file; };
    QTest::mouseClick(page.findChild<QWidget*>(QStringLiteral("exportCsv")), Qt::LeftButton);
    std::ifstream in(m_dir / "out.csv", std::ios::binary);
    const std::string csv(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(csv, "\xEF\xBB\xBF测速时间,类型,测速类型,名称,指标\r\n"
                   "2024-05-01 10:00:00,自动,网页性能,http://news.example.cn/,2.31 s\r\n"
                   "2024-05-01 09:00:00,自动,文件下载,5MB测试文件,812 KB/s\r\n");
    EXPECT_THAT(page.problemLine()->text().toStdString(), HasSubstr("2"));

    EXPECT_FALSE(page.exportCsv(QString::fromStdString((m_dir / "no/such/dir/x.csv").string())));
    EXPECT_THAT(page.problemLine()->text().toStdString(), HasSubstr("无法写入"));
}

} // namespace
} // namespace quorvane

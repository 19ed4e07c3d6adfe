#include "config/xml_doc.h"

#include "work_dir.h"

#include <gtest/gtest.h>

using namespace quorvane;
using namespace std::string_literals;
using quorvane::test::WorkDirTest;

namespace
{

constexpr const char* kSample = R"(<?xml version="1.0" encoding="UTF-8"?>
<whatever version="3">
  <first a="1">one</first>
  <item id="1">alpha</item>
  <other/>
  <item id="2" selected="true">beta</item>
  <nested>
    <item id="x">inner</item>
  </nested>
</whatever>
)";

} // namespace

TEST(XmlNavigation, FindChildElemLandsOnTheRootWhateverItsName)
{
    for (const char* root : {"auto", "config", "Anything-else"}) {
        CXmlDoc doc;
        ASSERT_TRUE(doc.SetDoc(std::string("<") + root + "><item>v</item></" + root + ">"));
        doc.Rewind();
        ASSERT_TRUE(doc.FindChildElem("item")) << root;
        EXPECT_EQ(doc.GetTagName(), root);
        EXPECT_EQ(doc.GetChildData(), "v");
    }
}

TEST(XmlNavigation, ChildSearchWalksForwardAndFailsWithoutMoving)
{
    CXmlDoc doc;
    ASSERT_TRUE(doc.SetDoc(kSample));
    doc.Rewind();
    ASSERT_TRUE(doc.FindChildElem("item"));
    EXPECT_EQ(doc.GetChildAttrib("id"), "1");
    ASSERT_TRUE(doc.FindChildElem("item"));
    EXPECT_EQ(doc.GetChildAttrib("id"), "2");
    EXPECT_EQ(doc.GetChildAttrib("selected"), "true");
    EXPECT_EQ(doc.GetChildAttrib("missing"), "");
    // Only direct children count: the nested item is not found from here.
    EXPECT_FALSE(doc.FindChildElem("item"));
    EXPECT_EQ(doc.GetChildAttrib("id"), "2");
    // An empty name matches any element, continuing after the current child.
    ASSERT_TRUE(doc.FindChildElem());
    EXPECT_EQ(doc.GetChildTagName(), "nested");
    doc.ResetChildPos();
    ASSERT_TRUE(doc.FindChildElem());
    EXPECT_EQ(doc.GetChildTagName(), "first");
    EXPECT_EQ(doc.GetChildData(), "one");
}

TEST(XmlNavigation, IntoAndOutOfElemKeepThePlaceInTheWalk)
{
    CXmlDoc doc;
    ASSERT_TRUE(doc.SetDoc(kSample));
    EXPECT_FALSE(doc.IntoElem());  // main is none
    EXPECT_FALSE(doc.OutOfElem()); // already at the top
    doc.Rewind();
    ASSERT_TRUE(doc.FindChildElem("nested"));
    ASSERT_TRUE(doc.IntoElem());
    EXPECT_EQ(doc.GetTagName(), "nested");
    ASSERT_TRUE(doc.FindChildElem("item"));
    EXPECT_EQ(doc.GetChildData(), "inner");
    ASSERT_TRUE(doc.OutOfElem());
    EXPECT_EQ(doc.GetTagName(), "whatever");
    EXPECT_EQ(doc.GetChildTagName(), "nested");
    EXPECT_FALSE(doc.FindChildElem("item")); // the walk goes on after "nested"

    // Into an element without a current child: main becomes none, and the
    // next child search first moves main to the first element of that level.
    doc.ResetPos();
    ASSERT_TRUE(doc.FindElem());
    ASSERT_TRUE(doc.IntoElem());
    EXPECT_EQ(doc.GetTagName(), "");
    EXPECT_FALSE(doc.FindChildElem("item"));
    EXPECT_EQ(doc.GetTagName(), "first");
    ASSERT_TRUE(doc.FindElem("nested"));
    ASSERT_TRUE(doc.FindChildElem("item"));
    EXPECT_EQ(doc.GetChildAttrib("id"), "x");
}

TEST(XmlNavigation, FindElemWalksSiblingsOfTheCurrentLevel)
{
    CXmlDoc doc;
    ASSERT_TRUE(doc.SetDoc("<r><a/><b k='1'/><a k='2'/></r>"));
    ASSERT_TRUE(doc.FindElem());
    EXPECT_EQ(doc.GetTagName(), "r");
    EXPECT_FALSE(doc.FindElem()); // a single root
    EXPECT_EQ(doc.GetTagName(), "r");
    doc.ResetChildPos();
    ASSERT_TRUE(doc.FindChildElem("a"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindElem("a"));
    EXPECT_EQ(doc.GetAttrib("k"), "2");
    EXPECT_FALSE(doc.FindElem("b")); // b lies behind
    EXPECT_EQ(doc.GetAttrib("k"), "2");
    doc.Rewind();
    ASSERT_TRUE(doc.FindElem("b"));
    EXPECT_EQ(doc.GetAttrib("k"), "1");
}

TEST(XmlNavigation, DataIsTheTextOfTheElementWithEntitiesAndCdata)
{
    CXmlDoc doc;
    ASSERT_TRUE(doc.SetDoc("<r><u>http://h/p?a=1&amp;b=&lt;2&gt;</u><c><![CDATA[x<y]]></c>"
                           "<m>before<!-- note -->after</m><e/><k>中文</k></r>"));
    doc.Rewind();
    std::vector<std::string> texts;
    while (doc.FindChildElem())
        texts.push_back(doc.GetChildData());
    EXPECT_EQ(texts, (std::vector<std::string>{"http://h/p?a=1&b=<2>", "x<y", "beforeafter", "", "中文"}));
    EXPECT_EQ(doc.GetData(), ""); // the root holds only elements
}

TEST(XmlEditing, AddedElementsKeepOrderAndSurviveSaveAndLoad)
{
    CXmlDoc doc;
    ASSERT_TRUE(doc.AddElem("auto"));
    EXPECT_FALSE(doc.AddElem("second-root"));
    ASSERT_TRUE(doc.AddChildElem("item", "http://a/?x=1&y=<2>"));
    ASSERT_TRUE(doc.SetChildAttrib("id", "7"));
    ASSERT_TRUE(doc.SetChildAttrib("selected", "true"));
    ASSERT_TRUE(doc.SetChildAttrib("name", "名称 \"q\""));
    ASSERT_TRUE(doc.SetChildAttrib("delete", "true"));
    ASSERT_TRUE(doc.SetChildAttrib("selected", "false")); // changes in place
    EXPECT_FALSE(doc.AddChildElem("bad name"));
    EXPECT_FALSE(doc.AddChildElem("1st"));
    EXPECT_FALSE(doc.SetChildAttrib("", "v"));
    ASSERT_TRUE(doc.AddChildElem("second"));
    EXPECT_EQ(doc.GetChildTagName(), "second");

    const std::string text = doc.GetDoc();
    EXPECT_NE(text.find("<item id=\"7\" selected=\"false\" name=\"名称 &quot;q&quot;\" delete=\"true\">"),
              std::string::npos)
        << text;
    CXmlDoc again;
    ASSERT_TRUE(again.SetDoc(text));
    again.Rewind();
    ASSERT_TRUE(again.FindChildElem("item"));
    EXPECT_EQ(again.GetChildData(), "http://a/?x=1&y=<2>");
    EXPECT_EQ(again.GetChildAttrib("name"), "名称 \"q\"");
    ASSERT_TRUE(again.FindChildElem());
    EXPECT_EQ(again.GetChildTagName(), "second");
}

TEST(XmlEditing, SettersNeedAPositionAndRemoveKeepsTheWalkGoing)
{
    CXmlDoc doc;
    EXPECT_FALSE(doc.AddChildElem("x")); // no main
    EXPECT_FALSE(doc.SetChildData("x"));
    EXPECT_FALSE(doc.SetAttrib("a", "b"));
    EXPECT_FALSE(doc.RemoveChildElem());

    ASSERT_TRUE(doc.SetDoc("<r><i n='1'/><i n='2'/><i n='3'/></r>"));
    doc.Rewind();
    ASSERT_TRUE(doc.FindChildElem("i"));
    ASSERT_TRUE(doc.FindChildElem("i"));
    ASSERT_TRUE(doc.RemoveChildElem());
    EXPECT_EQ(doc.GetChildAttrib("n"), "1");
    ASSERT_TRUE(doc.FindChildElem("i"));
    EXPECT_EQ(doc.GetChildAttrib("n"), "3");
    ASSERT_TRUE(doc.SetChildData("text"));
    ASSERT_TRUE(doc.SetChildData(""));
    EXPECT_EQ(doc.GetChildData(), "");
}

TEST(XmlEditing, ControlCharactersAndBrokenUtf8NeverMakeAnUnloadableDocument)
{
    CXmlDoc doc;
    ASSERT_TRUE(doc.AddElem("r"));
    ASSERT_TRUE(doc.AddChildElem("v", "a\x01"
                                      "b\0c\xFF"s));
    ASSERT_TRUE(doc.SetChildAttrib("n", std::string("\x02x\xC3", 3)));
    CXmlDoc again;
    ASSERT_TRUE(again.SetDoc(doc.GetDoc()));
    again.Rewind();
    ASSERT_TRUE(again.FindChildElem("v"));
    EXPECT_EQ(again.GetChildData(), "abc\xEF\xBF\xBD");
    EXPECT_EQ(again.GetChildAttrib("n"), "x\xEF\xBF\xBD");
}

class XmlFiles : public WorkDirTest
{
};

TEST_F(XmlFiles, CreatedDocumentsStartWithTheDeclarationAndUseCrLf)
{
    CXmlDoc doc;
    EXPECT_FALSE(doc.Save("Config/empty.xml")); // nothing to write
    EXPECT_FALSE(std::filesystem::exists("Config/empty.xml"));
    doc.AddElem("auto");
    doc.AddChildElem("tasks");
    ASSERT_TRUE(doc.Save("Config/new.xml"));
    const std::string bytes = read("Config/new.xml");
    EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<auto>", 0), 0u) << bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
        }
    }
    EXPECT_FALSE(doc.Save("Nowhere/new.xml")); // a missing folder is an error, not a crash
}

TEST_F(XmlFiles, MissingAndEmptyFilesAreEmptyDocumentsThatCanBeBuilt)
{
    CXmlDoc doc;
    EXPECT_FALSE(doc.Load("Config/none.xml"));
    EXPECT_EQ(doc.source(), CXmlDoc::Source::Created);
    EXPECT_FALSE(doc.Load("NoFolder/none.xml"));
    EXPECT_EQ(doc.source(), CXmlDoc::Source::Created);
    write("Config/blank.xml", " \r\n");
    EXPECT_FALSE(doc.Load("Config/blank.xml"));
    EXPECT_EQ(doc.source(), CXmlDoc::Source::Created);
    doc.Rewind();
    EXPECT_FALSE(doc.FindChildElem("x"));
    EXPECT_EQ(doc.GetChildData(), "");
    ASSERT_TRUE(doc.AddElem("r"));
    EXPECT_TRUE(doc.Save("Config/blank.xml"));
}

TEST_F(XmlFiles, UnparsableFilesAreEmptyAndNeverOverwritten)
{
    const std::string cases[] = {
        "<auto><tasks><module id=\"1\">",                             // truncated
        "<auto><a></b></auto>",                                       // mismatched
        "<auto attr=></auto>",                                        // malformed attribute
        "<auto>\0<x/></auto>"s,                                       // zero byte inside
        "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe<"s,                    // binary
        "just some text, no markup",                                  // not XML at all
        "<a/><!-- ok --> trailing text",                              // text outside the root
        std::string(150, '<').replace(1, 149, std::string(149, 'x')), // stray '<'
    };
    for (const std::string& bytes : cases) {
        write("Config/bad.xml", bytes);
        CXmlDoc doc;
        EXPECT_FALSE(doc.Load("Config/bad.xml"));
        EXPECT_EQ(doc.source(), CXmlDoc::Source::Unparsable) << bytes;
        doc.Rewind();
        EXPECT_FALSE(doc.FindChildElem("tasks"));
        EXPECT_FALSE(doc.AddElem("auto"));
        EXPECT_FALSE(doc.Save("Config/bad.xml"));
        EXPECT_EQ(read("Config/bad.xml"), bytes);
    }
}

TEST_F(XmlFiles, DeepNestingAndFoldersAreRefusedWithoutCrashing)
{
    std::string deep;
    for (int i = 0; i < 5000; ++i)
        deep += "<a>";
    write("Config/deep.xml", deep);
    CXmlDoc doc;
    EXPECT_FALSE(doc.Load("Config/deep.xml"));
    EXPECT_EQ(doc.source(), CXmlDoc::Source::Unparsable);
    std::filesystem::create_directory("Config/dir.xml");
    EXPECT_FALSE(doc.Load("Config/dir.xml"));
    EXPECT_EQ(doc.source(), CXmlDoc::Source::Unparsable);
}

TEST_F(XmlFiles, EncodingIsDetectedAndKeptOnSave)
{
    // UTF-8 with a byte-order mark keeps its mark, also behind blank lines
    // of any kind or behind a second mark (once saved with a mark inside,
    // the file no longer parsed).
    for (const char* text : {"\xEF\xBB\xBF<r><p>北京</p></r>", "\n\r\n \xEF\xBB\xBF<r><p>北京</p></r>",
                             "\v\n\xEF\xBB\xBF<r><p>北京</p></r>\r\n", "\f\xEF\xBB\xBF<r><p>北京</p></r>",
                             "\xEF\xBB\xBF \xEF\xBB\xBF<r><p>北京</p></r>"}) {
        write("Config/bom.xml", text);
        CXmlDoc doc;
        ASSERT_TRUE(doc.Load("Config/bom.xml"));
        EXPECT_EQ(doc.encoding(), CXmlDoc::Encoding::Utf8WithBom);
        doc.Rewind();
        ASSERT_TRUE(doc.FindChildElem("p"));
        EXPECT_EQ(doc.GetChildData(), "北京");
        ASSERT_TRUE(doc.Save("Config/bom.xml"));
        EXPECT_EQ(read("Config/bom.xml").rfind("\xEF\xBB\xBF<?xml", 0), 0u);
        CXmlDoc again;
        EXPECT_TRUE(again.Load("Config/bom.xml")) << read("Config/bom.xml");
    }
    // GBK named by the declaration: read as UTF-8 inside, written back as GBK,
    // also behind blanks the parser skips (once missed there, each save
    // garbled the text again).
    for (const char* lead : {"", "\v\f\n"}) {
        write("Config/gbk.xml",
              lead + std::string("<?xml version=\"1.0\" encoding=\"GB2312\"?><r><p>\xB1\xB1\xBE\xA9</p></r>"));
        CXmlDoc doc;
        ASSERT_TRUE(doc.Load("Config/gbk.xml"));
        EXPECT_EQ(doc.encoding(), CXmlDoc::Encoding::Gbk);
        doc.Rewind();
        ASSERT_TRUE(doc.FindChildElem("p"));
        EXPECT_EQ(doc.GetChildData(), "北京");
        ASSERT_TRUE(doc.SetChildData("上海"));
        ASSERT_TRUE(doc.Save("Config/gbk.xml"));
        const std::string saved = read("Config/gbk.xml");
        EXPECT_NE(saved.find("encoding=\"GB2312\""), std::string::npos);
        EXPECT_NE(saved.find("<p>\xC9\xCF\xBA\xA3</p>"), std::string::npos) << saved;
    }
    // UTF-16 little endian with a byte-order mark, a character beyond the BMP included.
    const std::u16string u16 = u"<r><p>深圳\U0001F600</p></r>";
    std::string le = "\xFF\xFE";
    for (char16_t c : u16) {
        le.push_back(static_cast<char>(c & 0xFF));
        le.push_back(static_cast<char>(c >> 8));
    }
    write("Config/u16.xml", le);
    {
        CXmlDoc doc;
        ASSERT_TRUE(doc.Load("Config/u16.xml"));
        EXPECT_EQ(doc.encoding(), CXmlDoc::Encoding::Utf16Le);
        doc.Rewind();
        ASSERT_TRUE(doc.FindChildElem("p"));
        EXPECT_EQ(doc.GetChildData(), "深圳\U0001F600");
        ASSERT_TRUE(doc.Save("Config/u16.xml"));
        CXmlDoc again;
        ASSERT_TRUE(again.Load("Config/u16.xml"));
        EXPECT_EQ(again.encoding(), CXmlDoc::Encoding::Utf16Le);
        again.Rewind();
        ASSERT_TRUE(again.FindChildElem("p"));
        EXPECT_EQ(again.GetChildData(), "深圳\U0001F600");
    }
    // Without mark or declaration the text is UTF-8; invalid bytes become U+FFFD.
    write("Config/plain.xml", "<r><p>a\xC3(b</p></r>");
    CXmlDoc doc;
    ASSERT_TRUE(doc.Load("Config/plain.xml"));
    EXPECT_EQ(doc.encoding(), CXmlDoc::Encoding::Utf8);
    doc.Rewind();
    ASSERT_TRUE(doc.FindChildElem("p"));
    EXPECT_EQ(doc.GetChildData(), "a\xEF\xBF\xBD(b");
}

// Configuration documents are edited by hand and downloaded. Whatever one
// holds, walking it must stay within it, and what GetDoc writes must parse
// again to the same text.
#include "config/xml_doc.h"
#include "fuzz/fuzz_support.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace quorvane;

namespace
{

// Visits every element depth first, reading what the readers read.
void walk(CXmlDoc& doc, int depth, int& budget)
{
    while (budget-- > 0 && doc.FindElem()) {
        doc.GetTagName();
        doc.GetAttrib("id");
        doc.GetData();
        while (doc.FindChildElem())
            doc.GetChildData();
        doc.ResetChildPos();
        if (depth < 64 && doc.IntoElem()) {
            walk(doc, depth + 1, budget);
            FUZZ_REQUIRE(doc.OutOfElem());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CXmlDoc doc;
    const bool parsed = doc.SetDoc(text);
    int budget = 10000;
    walk(doc, 0, budget);
    FUZZ_REQUIRE(!doc.OutOfElem());
    // Documents in other encodings are written back in them; GetDoc's UTF-8
    // text then no longer matches its own declaration. A mark goes in front
    // of GetDoc's text, as the save writes it: it outranks the declaration.
    if (!parsed || (doc.encoding() != CXmlDoc::Encoding::Utf8 && doc.encoding() != CXmlDoc::Encoding::Utf8WithBom))
        return 0;
    const auto saved = [](const CXmlDoc& d) {
        return (d.encoding() == CXmlDoc::Encoding::Utf8WithBom ? "\xEF\xBB\xBF" : "") + d.GetDoc();
    };

    // The readers' edit pattern: a child under the root, then write out.
    doc.ResetPos();
    if (doc.FindChildElem() || doc.FindElem()) {
        doc.ResetPos();
        doc.FindElem();
        doc.AddChildElem("fuzz", "a<b&c>\"d\"");
        doc.SetChildAttrib("v", "1 & 2");
    }
    // What is written reads back, and writing that again changes nothing:
    // saving a loaded document never keeps altering the file. (One round
    // may still settle the text.)
    CXmlDoc again;
    FUZZ_REQUIRE(again.SetDoc(saved(doc)));
    const std::string settled = saved(again);
    CXmlDoc third;
    FUZZ_REQUIRE(third.SetDoc(settled));
    FUZZ_REQUIRE(saved(third) == settled);
    return 0;
}

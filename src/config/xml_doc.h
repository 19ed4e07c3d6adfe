#pragma once
// CXmlDoc: the navigable XML document through which every configuration
// document is read and written. One object per use: load, walk, maybe edit,
// at most one save, discard. Not shared between threads.
//
// Navigation keeps three positions: `parent` (the element whose children are
// walked; none = the top level of the document), `main` (the current element
// at that level; none = before the first) and `child` (the current child of
// main; none = before the first). The readers' pattern
//
//     Load, Rewind, FindChildElem("A"), IntoElem, loop FindChildElem("B")
//
// lands on the root whatever its name, so root names are never compared.
//
// Texts going in and out are UTF-8. Whatever encoding the file has (UTF-8
// with or without byte-order mark, UTF-16 with a byte-order mark, or GBK /
// ISO-8859-1 named in the declaration) is converted on loading, invalid
// sequences are replaced with U+FFFD, and Save writes the file back in the
// encoding it was loaded with.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tinyxml2
{
class XMLDocument;
class XMLElement;
} // namespace tinyxml2

namespace quorvane
{

class CXmlDoc
{
public:
    enum class Encoding { Utf8, Utf8WithBom, Utf16Le, Utf16Be, Gbk, Latin1 };

    // What the last Load found.
    enum class Source {
        Created,    // nothing loaded, or the file was missing or empty: an empty document
        Parsed,     // the file was read and parsed
        Unparsable, // the file exists but could not be read or parsed: an empty document that never saves
    };

    // Files above this size are not configuration documents; they load as
    // unparsable instead of being read into memory.
    static constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

    CXmlDoc();
    ~CXmlDoc();
    CXmlDoc(const CXmlDoc&) = delete;
    CXmlDoc& operator=(const CXmlDoc&) = delete;

    // Paths are file-system paths; pass design paths ("Config\\x.xml")
    // through programPath (common/paths.h) first.
    //
    // Reads and parses the file; positions are cleared. True when a document
    // was parsed. A missing or empty file gives an empty document that can be
    // built and saved; a file that cannot be parsed (malformed, truncated,
    // binary) gives an empty document that refuses to save, so that it is
    // never overwritten by what could not be read.
    bool Load(const std::string& path);

    // Parses text already in memory (UTF-8, or encoded as a file would be).
    bool SetDoc(std::string_view text);

    // Writes the document in the encoding it was loaded with (UTF-8 for a
    // created document, which then begins with the declaration line). Line
    // ends are CR LF. The file is replaced atomically: a failed or interrupted
    // save leaves the previous file. False when nothing was written (an
    // unparsable load, an empty document, an unwritable folder).
    bool Save(const std::string& path) const;

    // The text Save would write, as UTF-8.
    std::string GetDoc() const;

    Source source() const { return m_source; }
    Encoding encoding() const { return m_encoding; }
    bool IsEmpty() const;

    // main and child become none under the current parent.
    void Rewind();
    // Back to the top level: parent, main and child become none.
    void ResetPos();
    // Moves main to the next sibling element after main named `name` (any
    // element when empty); child becomes none. False (nothing moves) when
    // there is none.
    bool FindElem(std::string_view name = {});
    // When main is none, first moves main to the first element of the level
    // (at the top level: the root). Then moves child to the next child of main
    // after child named `name` (any when empty). False when there is none; a
    // failed search leaves child where it was.
    bool FindChildElem(std::string_view name = {});
    // Fails unless main is an element: parent becomes main, main becomes
    // child, child becomes none.
    bool IntoElem();
    // Fails at the top level: main becomes the old parent, child the old main,
    // parent the old parent's parent.
    bool OutOfElem();
    // child becomes none, so the next FindChildElem searches from the first child.
    void ResetChildPos();

    std::string GetTagName() const;
    std::string GetChildTagName() const;
    // Attribute values; "" when the position or the attribute is absent.
    std::string GetAttrib(std::string_view name) const;
    std::string GetChildAttrib(std::string_view name) const;
    // Text content of the element; "" when absent or without text.
    std::string GetData() const;
    std::string GetChildData() const;

    // Appends an element after the last element of the current level; main
    // becomes it, child none. At the top level only when there is no root yet.
    bool AddElem(std::string_view name, std::string_view text = {});
    // Appends a child element of main after its last child; child becomes it.
    bool AddChildElem(std::string_view name, std::string_view text = {});
    // Set (add when absent, at the end of the attribute list) an attribute or
    // replace the text of main / of child. False when the position is absent.
    bool SetAttrib(std::string_view name, std::string_view value);
    bool SetData(std::string_view text);
    bool SetChildAttrib(std::string_view name, std::string_view value);
    bool SetChildData(std::string_view text);
    // Removes child; child becomes the previous child element (or none).
    bool RemoveChildElem();

private:
    bool parseUtf8(std::string text);
    tinyxml2::XMLElement* firstAtLevel() const;

    std::unique_ptr<tinyxml2::XMLDocument> m_doc;
    tinyxml2::XMLElement* m_parent = nullptr;
    tinyxml2::XMLElement* m_main = nullptr;
    tinyxml2::XMLElement* m_child = nullptr;
    Source m_source = Source::Created;
    Encoding m_encoding = Encoding::Utf8;
};

} // namespace quorvane

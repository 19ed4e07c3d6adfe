#include "config/xml_doc.h"

#include "common/codepage.h"
#include "common/durable_file.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace quorvane
{
namespace
{

using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// --- encodings -------------------------------------------------------------

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes valid UTF-8 (the callers sanitise first) into code points.
template <typename Sink> void forEachCodePoint(std::string_view utf8, Sink sink)
{
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        std::size_t len = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : 4;
        if (i + len > utf8.size())
            break;
        char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
        for (std::size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        sink(cp);
        i += len;
    }
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian)
{
    std::string out;
    out.reserve(bytes.size());
    auto unitAt = [&](std::size_t i) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        const char16_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
            const char16_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        appendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{u});
    }
    if (i < bytes.size())
        appendUtf8(out, 0xFFFD); // an odd last byte
    return out;
}

std::string utf8ToUtf16(std::string_view utf8, bool bigEndian)
{
    std::string out;
    auto put = [&](char16_t u) {
        const char hi = static_cast<char>(u >> 8);
        const char lo = static_cast<char>(u & 0xFF);
        out.push_back(bigEndian ? hi : lo);
        out.push_back(bigEndian ? lo : hi);
    };
    put(0xFEFF);
    forEachCodePoint(utf8, [&](char32_t cp) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            put(static_cast<char16_t>(cp));
        }
    });
    return out;
}

std::string latin1ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes)
        appendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string utf8ToLatin1(std::string_view utf8)
{
    std::string out;
    forEachCodePoint(utf8, [&](char32_t cp) { out.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?'); });
    return out;
}

std::string lowerAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// What the parser skips as blanks before the first markup: more than XML's
// own blanks. Whatever it skips must be skipped when the file's encoding is
// told, or a declaration or a mark behind such a byte is missed on reading
// and found on the next one, after the save moved it to the front.
constexpr const char* kParserBlanks = " \t\r\n\v\f";

// The value of encoding="..." in a leading declaration, lower-cased; "" when none.
std::string declaredEncoding(std::string_view text)
{
    const std::size_t start = text.find_first_not_of(kParserBlanks);
    if (start == std::string_view::npos || text.substr(start, 5) != "<?xml")
        return {};
    const std::size_t end = text.find("?>", start);
    const std::string_view decl = text.substr(start, end == std::string_view::npos ? 256 : end - start);
    std::size_t pos = decl.find("encoding");
    if (pos == std::string_view::npos)
        return {};
    pos = decl.find('=', pos);
    if (pos == std::string_view::npos)
        return {};
    pos = decl.find_first_of("\"'", pos);
    if (pos == std::string_view::npos)
        return {};
    const std::size_t close = decl.find(decl[pos], pos + 1);
    if (close == std::string_view::npos)
        return {};
    return lowerAscii(decl.substr(pos + 1, close - pos - 1));
}

// Turns file bytes into UTF-8 and tells which encoding they had.
std::string decode(std::string_view bytes, CXmlDoc::Encoding& encoding)
{
    using E = CXmlDoc::Encoding;
    // Blank lines pasted in front of a byte-order mark would leave the mark
    // inside the text, where it is neither markup nor a mark: the document
    // would no longer parse once saved.
    if (const std::size_t lead = bytes.find_first_not_of(kParserBlanks);
        lead != std::string_view::npos && lead > 0 && bytes.substr(lead, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(lead);
    auto startsWith = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
    if (startsWith("\xEF\xBB\xBF")) {
        encoding = E::Utf8WithBom;
        return sanitizeUtf8(bytes.substr(3));
    }
    if (startsWith("\xFF\xFE")) {
        encoding = E::Utf16Le;
        return utf16ToUtf8(bytes.substr(2), false);
    }
    if (startsWith("\xFE\xFF")) {
        encoding = E::Utf16Be;
        return utf16ToUtf8(bytes.substr(2), true);
    }
    // UTF-16 without a byte-order mark still shows itself in "<?".
    if (startsWith(std::string_view("<\0?\0", 4))) {
        encoding = E::Utf16Le;
        return utf16ToUtf8(bytes, false);
    }
    if (startsWith(std::string_view("\0<\0?", 4))) {
        encoding = E::Utf16Be;
        return utf16ToUtf8(bytes, true);
    }
    const std::string declared = declaredEncoding(bytes);
    if (declared == "gbk" || declared == "gb2312" || declared == "gb18030" || declared == "cp936" ||
        declared == "x-gbk") {
        encoding = E::Gbk;
        return gbkToUtf8(bytes);
    }
    if (declared == "iso-8859-1" || declared == "latin1" || declared == "latin-1" || declared == "windows-1252") {
        encoding = E::Latin1;
        return latin1ToUtf8(bytes);
    }
    encoding = E::Utf8; // declared UTF-8, ASCII, nothing, or something we do not know
    return sanitizeUtf8(bytes);
}

std::string encode(std::string_view utf8, CXmlDoc::Encoding encoding)
{
    using E = CXmlDoc::Encoding;
    switch (encoding) {
    case E::Utf8WithBom:
        return "\xEF\xBB\xBF" + std::string(utf8);
    case E::Utf16Le:
        return utf8ToUtf16(utf8, false);
    case E::Utf16Be:
        return utf8ToUtf16(utf8, true);
    case E::Gbk:
        return utf8ToGbk(utf8);
    case E::Latin1:
        return utf8ToLatin1(utf8);
    case E::Utf8:
        break;
    }
    return std::string(utf8);
}

// --- texts going into the document ------------------------------------------

// Valid UTF-8 without the control characters XML cannot carry, so that a
// document the program saves always loads again.
std::string cleanText(std::string_view text)
{
    std::string out = sanitizeUtf8(text);
    std::erase_if(out, [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 && b != '\t' && b != '\n' && b != '\r';
    });
    return out;
}

bool isNameStart(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool isValidName(std::string_view name)
{
    if (name.empty() || !isNameStart(static_cast<unsigned char>(name[0])))
        return false;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (!isNameStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.')
            return false;
    }
    return isValidUtf8(name);
}

bool nameMatches(const XMLElement* e, std::string_view name)
{
    return name.empty() || name == e->Name();
}

const XMLElement* nextMatching(const XMLElement* e, std::string_view name)
{
    while (e && !nameMatches(e, name))
        e = e->NextSiblingElement();
    return e;
}

std::string textOf(const XMLElement* e)
{
    std::string out;
    if (!e)
        return out;
    for (const XMLNode* n = e->FirstChild(); n; n = n->NextSibling())
        if (n->ToText())
            out += n->Value();
    return out;
}

std::string attributeOf(const XMLElement* e, std::string_view name)
{
    if (!e)
        return {};
    const char* v = e->Attribute(std::string(name).c_str());
    return v ? v : "";
}

bool setAttributeOf(XMLElement* e, std::string_view name, std::string_view value)
{
    if (!e || !isValidName(name))
        return false;
    e->SetAttribute(std::string(name).c_str(), cleanText(value).c_str());
    return true;
}

bool setTextOf(XMLElement* e, std::string_view text)
{
    if (!e)
        return false;
    for (XMLNode* n = e->FirstChild(); n;) {
        XMLNode* next = n->NextSibling();
        if (n->ToText())
            e->DeleteChild(n);
        n = next;
    }
    const std::string clean = cleanText(text);
    if (!clean.empty())
        e->InsertFirstChild(e->GetDocument()->NewText(clean.c_str()));
    return true;
}

} // namespace

CXmlDoc::CXmlDoc() : m_doc(std::make_unique<tinyxml2::XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE)) {}

CXmlDoc::~CXmlDoc() = default;

bool CXmlDoc::Load(const std::string& path)
{
    m_doc->Clear();
    ResetPos();
    m_source = Source::Created;
    m_encoding = Encoding::Utf8;

    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found)
        return false;
    if (ec || status.type() != std::filesystem::file_type::regular) {
        m_source = Source::Unparsable;
        return false;
    }
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxFileSize) {
        m_source = Source::Unparsable;
        return false;
    }
    const auto bytes = readWholeFile(path);
    if (!bytes) {
        m_source = Source::Unparsable;
        return false;
    }
    return SetDoc(*bytes);
}

bool CXmlDoc::SetDoc(std::string_view text)
{
    m_doc->Clear();
    m_parent = m_main = m_child = nullptr;
    m_source = Source::Created;
    std::string utf8 = decode(text, m_encoding);
    if (utf8.find_first_not_of(" \t\r\n") == std::string::npos)
        return false; // nothing there: an empty document, free to be built
    return parseUtf8(std::move(utf8));
}

bool CXmlDoc::parseUtf8(std::string text)
{
    // A zero byte ends the parser's input early; what followed it would be
    // lost on the next save, so such a file is not taken as a document.
    bool ok = text.find('\0') == std::string::npos && m_doc->Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS &&
              m_doc->FirstChildElement();
    // Text outside the root is not a document either (binary or plain text files).
    for (const XMLNode* n = m_doc->FirstChild(); ok && n; n = n->NextSibling())
        ok = n->ToText() == nullptr;
    if (!ok) {
        m_doc->Clear();
        m_source = Source::Unparsable;
        return false;
    }
    // The mark belongs to the file's encoding, which encode() writes on save;
    // one the parser found itself (a second mark) would be printed after the
    // declaration GetDoc puts first, where it breaks the saved document.
    m_doc->SetBOM(false);
    m_source = Source::Parsed;
    return true;
}

bool CXmlDoc::IsEmpty() const
{
    return m_doc->FirstChildElement() == nullptr;
}

std::string CXmlDoc::GetDoc() const
{
    tinyxml2::XMLPrinter printer(nullptr, false);
    m_doc->Print(&printer);
    std::string printed(printer.CStr(), static_cast<std::size_t>(std::max(printer.CStrSize() - 1, 0)));
    const XMLNode* first = m_doc->FirstChild();
    const bool utf8 = m_encoding == Encoding::Utf8 || m_encoding == Encoding::Utf8WithBom;
    if (utf8 && !(first && first->ToDeclaration()))
        printed.insert(0, kDeclaration);
    std::string out;
    out.reserve(printed.size() + printed.size() / 16);
    for (std::size_t i = 0; i < printed.size(); ++i) {
        if (printed[i] == '\n' && (i == 0 || printed[i - 1] != '\r'))
            out.push_back('\r');
        out.push_back(printed[i]);
    }
    return out;
}

bool CXmlDoc::Save(const std::string& path) const
{
    if (m_source == Source::Unparsable || IsEmpty())
        return false;
    return writeFileDurably(path, encode(GetDoc(), m_encoding));
}

XMLElement* CXmlDoc::firstAtLevel() const
{
    return m_parent ? m_parent->FirstChildElement() : m_doc->FirstChildElement();
}

void CXmlDoc::ResetPos()
{
    m_parent = nullptr;
    Rewind();
}

void CXmlDoc::Rewind()
{
    m_main = nullptr;
    m_child = nullptr;
}

bool CXmlDoc::FindElem(std::string_view name)
{
    const XMLElement* start = m_main ? m_main->NextSiblingElement() : firstAtLevel();
    const XMLElement* found = nextMatching(start, name);
    if (!found)
        return false;
    m_main = const_cast<XMLElement*>(found);
    m_child = nullptr;
    return true;
}

bool CXmlDoc::FindChildElem(std::string_view name)
{
    if (!m_main) {
        XMLElement* first = firstAtLevel();
        if (!first)
            return false;
        m_main = first;
        m_child = nullptr;
    }
    const XMLElement* start = m_child ? m_child->NextSiblingElement() : m_main->FirstChildElement();
    const XMLElement* found = nextMatching(start, name);
    if (!found)
        return false;
    m_child = const_cast<XMLElement*>(found);
    return true;
}

bool CXmlDoc::IntoElem()
{
    if (!m_main)
        return false;
    m_parent = m_main;
    m_main = m_child;
    m_child = nullptr;
    return true;
}

bool CXmlDoc::OutOfElem()
{
    if (!m_parent)
        return false;
    m_child = m_main;
    m_main = m_parent;
    XMLNode* up = m_parent->Parent();
    m_parent = up ? up->ToElement() : nullptr;
    return true;
}

void CXmlDoc::ResetChildPos()
{
    m_child = nullptr;
}

std::string CXmlDoc::GetTagName() const
{
    return m_main ? m_main->Name() : "";
}

std::string CXmlDoc::GetChildTagName() const
{
    return m_child ? m_child->Name() : "";
}

std::string CXmlDoc::GetAttrib(std::string_view name) const
{
    return attributeOf(m_main, name);
}

std::string CXmlDoc::GetChildAttrib(std::string_view name) const
{
    return attributeOf(m_child, name);
}

std::string CXmlDoc::GetData() const
{
    return textOf(m_main);
}

std::string CXmlDoc::GetChildData() const
{
    return textOf(m_child);
}

bool CXmlDoc::AddElem(std::string_view name, std::string_view text)
{
    if (m_source == Source::Unparsable || !isValidName(name))
        return false;
    if (!m_parent && m_doc->FirstChildElement())
        return false; // one root only
    XMLElement* e = m_doc->NewElement(std::string(name).c_str());
    if (m_parent)
        m_parent->InsertEndChild(e);
    else
        m_doc->InsertEndChild(e);
    setTextOf(e, text);
    m_main = e;
    m_child = nullptr;
    return true;
}

bool CXmlDoc::AddChildElem(std::string_view name, std::string_view text)
{
    if (!m_main || !isValidName(name))
        return false;
    XMLElement* e = m_doc->NewElement(std::string(name).c_str());
    m_main->InsertEndChild(e);
    setTextOf(e, text);
    m_child = e;
    return true;
}

bool CXmlDoc::SetAttrib(std::string_view name, std::string_view value)
{
    return setAttributeOf(m_main, name, value);
}

bool CXmlDoc::SetData(std::string_view text)
{
    return setTextOf(m_main, text);
}

bool CXmlDoc::SetChildAttrib(std::string_view name, std::string_view value)
{
    return setAttributeOf(m_child, name, value);
}

bool CXmlDoc::SetChildData(std::string_view text)
{
    return setTextOf(m_child, text);
}

bool CXmlDoc::RemoveChildElem()
{
    if (!m_main || !m_child)
        return false;
    XMLElement* previous = m_child->PreviousSiblingElement();
    m_main->DeleteChild(m_child);
    m_child = previous;
    return true;
}

} // namespace quorvane

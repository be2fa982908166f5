// MimeBody.cpp - walking a message with GMime; HTML read as text with libxml2.
#include "mail/MimeBody.h"

#include <gmime/gmime.h>
#include <libxml/HTMLparser.h>

#include <cstring>
#include <vector>

#include "mail/MimeText.h"

namespace {

struct CLeaf {
    GMimeObject* m_object;
    int m_number;
};

class CWalk {
  public:
    void Visit(GMimeObject* object, int depth) {
        if (m_stopped) return;
        if (GMIME_IS_MULTIPART(object)) {
            if (depth >= kMimeMaxDepth) {
                Note("parts nested deeper than " + std::to_string(kMimeMaxDepth) +
                     " levels were skipped");
                return;
            }
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            int count = g_mime_multipart_get_count(multipart);
            for (int i = 0; i < count && !m_stopped; ++i)
                Visit(g_mime_multipart_get_part(multipart, i), depth + 1);
            return;
        }
        if (static_cast<int>(m_leaves.size()) >= kMimeMaxParts) {
            Note("parts after the first " + std::to_string(kMimeMaxParts) + " were skipped");
            m_stopped = true;
            return;
        }
        m_leaves.push_back({object, static_cast<int>(m_leaves.size()) + 1});
    }
    void Note(std::string text) {
        for (const auto& n : m_notes)
            if (n == text) return;
        m_notes.push_back(std::move(text));
    }

    std::vector<CLeaf> m_leaves;
    std::vector<std::string> m_notes;
    bool m_stopped = false;
};

std::string StreamBytes(GMimeStream* stream) {
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    return array ? std::string(reinterpret_cast<const char*>(array->data), array->len)
                 : std::string();
}

// The decoded content of a leaf (a nested message: as it was written).
std::string LeafBytes(GMimeObject* object, int number, CWalk* walk) {
    GMimeStream* out = g_mime_stream_mem_new();
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner) g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out);
    } else if (GMIME_IS_PART(object)) {
        GMimePart* part = GMIME_PART(object);
        GMimeDataWrapper* content = g_mime_part_get_content(part);
        if (content) {
            if (walk &&
                g_mime_data_wrapper_get_encoding(content) == GMIME_CONTENT_ENCODING_BASE64) {
                // GMime passes over what is not base64; say so rather than show less silently.
                std::string raw = [&] {
                    GMimeStream* encoded = g_mime_stream_mem_new();
                    GMimeStream* source = g_mime_data_wrapper_get_stream(content);
                    g_mime_stream_reset(source);
                    g_mime_stream_write_to_stream(source, encoded);
                    g_mime_stream_reset(source);
                    std::string bytes = StreamBytes(encoded);
                    g_object_unref(encoded);
                    return bytes;
                }();
                std::size_t bad = 0;
                for (char c : raw) {
                    if (!g_ascii_isalnum(c) && c != '+' && c != '/' && c != '=' &&
                        !g_ascii_isspace(c))
                        ++bad;
                }
                if (bad > 0) {
                    walk->Note("part " + std::to_string(number) + ": " + std::to_string(bad) +
                               " bytes that are not base64 were skipped");
                }
            }
            g_mime_data_wrapper_write_to_stream(content, out);
        }
    }
    std::string bytes = StreamBytes(out);
    g_object_unref(out);
    return bytes;
}

std::string TypeOf(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (!type) return "application/octet-stream";
    char* text = g_mime_content_type_get_mime_type(type);
    std::string result = text ? text : "application/octet-stream";
    g_free(text);
    for (char& c : result)
        c = g_ascii_tolower(c);
    return result;
}

bool IsAttachment(GMimeObject* object) {
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
    return disposition && g_mime_content_disposition_is_attachment(disposition);
}

bool IsText(GMimeObject* object, const char* subtype) {
    if (!GMIME_IS_PART(object) || IsAttachment(object)) return false;
    GMimeContentType* type = g_mime_object_get_content_type(object);
    return type && g_mime_content_type_is_type(type, "text", subtype);
}

std::string NameOf(GMimeObject* object, int number) {
    const char* name = nullptr;
    if (GMIME_IS_PART(object)) name = g_mime_part_get_filename(GMIME_PART(object));
    if (!name && GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner) name = g_mime_message_get_subject(inner);
    }
    std::string text = name && *name ? MimeToUtf8(name) : "part " + std::to_string(number);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    CutUtf8(text, 200);
    return text;
}

struct CParsed {
    GMimeMessage* m_message = nullptr;
    ~CParsed() {
        if (m_message) g_object_unref(m_message);
    }
};

// "Name:" with a name of printable bytes (blanks allowed before the colon, as GMime reads it).
bool IsField(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && line[i] > ' ' && line[i] < 0x7f && line[i] != ':')
        ++i;
    if (i == 0) return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    return i < line.size() && line[i] == ':';
}

bool IsMimeHeader(std::string_view line) {
    auto startsWith = [&](std::string_view name) {
        return line.size() >= name.size() &&
               g_ascii_strncasecmp(line.data(), name.data(), name.size()) == 0;
    };
    return startsWith("content-") || startsWith("mime-version");
}

// The message as GMime needs it for the body: the top-level header block keeps only its
// Content-* and MIME-Version fields (with their folded lines). List mail carries dozens of
// Received, List-* and X-* lines, and GMime's header parsing of them was half the cost of a
// page; nothing on the page reads them from here (the record holds the shown values).
// Nested messages are in the body and keep all of theirs.
GMimeStream* BodyStream(std::string_view bytes) {
    std::vector<std::string_view> kept;
    bool keep = false;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find('\n', at);
        std::size_t next = end == std::string_view::npos ? bytes.size() : end + 1;
        std::string_view line = bytes.substr(at, next - at);
        if (line == "\n" || line == "\r\n") break;  // the body starts here, kept whole
        if (line[0] != ' ' && line[0] != '\t') {
            // A line that is no field: GMime reads it by where it stands, so the message goes
            // through whole.
            if (!IsField(line))
                return g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
            keep = IsMimeHeader(line);
        }
        if (keep) kept.push_back(line);
        at = next;
    }
    GMimeStream* stream = g_mime_stream_mem_new();
    for (std::string_view line : kept)
        g_mime_stream_write(stream, line.data(), line.size());
    if (at < bytes.size()) g_mime_stream_write(stream, bytes.data() + at, bytes.size() - at);
    g_mime_stream_reset(stream);
    return stream;
}

GMimeMessage* Parse(std::string_view bytes) {
    GMimeParserOptions* options = MimeParserOptions();
    GMimeStream* stream = BodyStream(bytes);
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
    GMimeMessage* message = g_mime_parser_construct_message(parser, options);
    g_object_unref(parser);
    g_object_unref(stream);
    return message;
}

// Text gathered from the parser's events as they come: no document tree is built, which was
// most of what reading an HTML part cost.
struct CHtmlText {
    std::string m_out;
    int m_depth = 0;    // elements open
    int m_skipped = 0;  // open script, style or head elements: nothing inside them shows
    int m_pre = 0;      // open pre elements: blanks are kept
    static constexpr int kMaxDepth = 200;

    bool Shown() const { return m_skipped == 0 && m_depth <= kMaxDepth; }
    void EndLine() {
        if (!m_out.empty() && m_out.back() != '\n') m_out += '\n';
    }
    void Text(const xmlChar* text, int length) {
        if (!Shown()) return;
        for (int i = 0; i < length; ++i) {
            char c = static_cast<char>(text[i]);
            bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
            if (m_pre > 0 || !blank) {
                m_out += c;
            } else if (!m_out.empty() && m_out.back() != ' ' && m_out.back() != '\n') {
                m_out += ' ';
            }
        }
    }
};

bool IsNamed(const xmlChar* name, const char* what) {
    return g_ascii_strcasecmp(reinterpret_cast<const char*>(name), what) == 0;
}

bool IsHidden(const xmlChar* name) {
    return IsNamed(name, "script") || IsNamed(name, "style") || IsNamed(name, "head");
}

bool IsBlock(const xmlChar* name) {
    static const char* const kBlocks[] = {"p",  "div", "br", "tr", "li",         "h1",   "h2",
                                          "h3", "h4",  "h5", "h6", "blockquote", "pre",  "table",
                                          "hr", "dd",  "dt", "ul", "ol",         "form", "section"};
    for (const char* b : kBlocks) {
        if (IsNamed(name, b)) return true;
    }
    return false;
}

// The parser hands itself to the callbacks; the text being gathered hangs off it.
CHtmlText* TextOf(void* parser) {
    return static_cast<CHtmlText*>(static_cast<htmlParserCtxtPtr>(parser)->_private);
}

void OnStart(void* context, const xmlChar* name, const xmlChar**) {
    CHtmlText* text = TextOf(context);
    if (IsHidden(name)) {
        ++text->m_skipped;
    } else if (text->Shown() && IsBlock(name)) {
        text->EndLine();
    }
    if (IsNamed(name, "pre")) ++text->m_pre;
    ++text->m_depth;
}

void OnEnd(void* context, const xmlChar* name) {
    CHtmlText* text = TextOf(context);
    --text->m_depth;
    if (IsNamed(name, "pre") && text->m_pre > 0) --text->m_pre;
    if (IsHidden(name)) {
        if (text->m_skipped > 0) --text->m_skipped;
    } else if (text->Shown() && IsBlock(name)) {
        text->EndLine();
    }
}

void OnCharacters(void* context, const xmlChar* chars, int length) {
    TextOf(context)->Text(chars, length);
}

}  // namespace

std::string HtmlToText(std::string_view html) {
    static const bool ready = [] {
        xmlInitParser();
        return true;
    }();
    (void)ready;
    if (html.empty()) return {};
    htmlParserCtxtPtr parser = htmlNewParserCtxt();
    if (!parser) return {};
    htmlSAXHandler handler{};
    handler.startElement = OnStart;
    handler.endElement = OnEnd;
    handler.characters = OnCharacters;
    handler.cdataBlock = OnCharacters;
    std::memcpy(parser->sax, &handler, sizeof handler);
    CHtmlText text;
    parser->_private = &text;
    // The text is UTF-8 already, converted from the part's charset: a <meta> naming another
    // must not make the parser read it again.
    htmlDocPtr doc = htmlCtxtReadMemory(
        parser, html.data(), static_cast<int>(std::min<std::size_t>(html.size(), 1u << 30)),
        nullptr, "UTF-8",
        HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
            HTML_PARSE_IGNORE_ENC);
    if (doc) xmlFreeDoc(doc);
    htmlFreeParserCtxt(parser);
    // Blanks after the last word (the line end after </html>, say) show nothing.
    text.m_out.erase(text.m_out.find_last_not_of(' ') + 1);
    return MimeToUtf8(text.m_out);
}

CMimeBody ReadMimeBody(std::string_view bytes) {
    CMimeBody body;
    CParsed parsed{Parse(bytes)};
    GMimeObject* root = parsed.m_message ? g_mime_message_get_mime_part(parsed.m_message) : nullptr;
    if (!root) {
        std::size_t split = bytes.find("\n\n");
        body.m_text = MimeToUtf8(split == std::string_view::npos ? std::string_view()
                                                                 : bytes.substr(split + 2));
        return body;
    }
    CWalk walk;
    walk.Visit(root, 0);
    const CLeaf* shown = nullptr;
    for (const auto& leaf : walk.m_leaves) {
        if (IsText(leaf.m_object, "plain")) {
            shown = &leaf;
            break;
        }
    }
    bool html = false;
    if (!shown) {
        for (const auto& leaf : walk.m_leaves) {
            if (IsText(leaf.m_object, "html")) {
                shown = &leaf;
                html = true;
                break;
            }
        }
    }
    if (shown) {
        std::string raw = LeafBytes(shown->m_object, shown->m_number, &walk);
        const char* charset = g_mime_object_get_content_type_parameter(shown->m_object, "charset");
        bool unknown = false;
        std::string text = MimeToUtf8(raw, charset ? charset : "", &unknown);
        if (unknown) {
            walk.Note(std::string("the unknown charset \"") + MimeToUtf8(charset) +
                      "\" was read as windows-1252");
        }
        if (html) text = HtmlToText(text);
        if (text.size() > kMimeMaxText) {
            CutUtf8(text, kMimeMaxText);
            walk.Note("the text after its first " + std::to_string(kMimeMaxText) +
                      " bytes was not shown");
        }
        body.m_text = std::move(text);
    }
    for (const auto& leaf : walk.m_leaves) {
        if (&leaf == shown) continue;
        CMimePart part;
        part.m_number = leaf.m_number;
        part.m_type = TypeOf(leaf.m_object);
        part.m_name = NameOf(leaf.m_object, leaf.m_number);
        part.m_size = LeafBytes(leaf.m_object, leaf.m_number, &walk).size();
        body.m_parts.push_back(std::move(part));
    }
    for (auto& note : walk.m_notes)
        body.m_skipped.push_back(std::move(note));
    return body;
}

bool ReadMimePart(std::string_view bytes, int number, CMimePartBytes& part) {
    CParsed parsed{Parse(bytes)};
    GMimeObject* root = parsed.m_message ? g_mime_message_get_mime_part(parsed.m_message) : nullptr;
    if (!root) return false;
    CWalk walk;
    walk.Visit(root, 0);
    for (const auto& leaf : walk.m_leaves) {
        if (leaf.m_number != number) continue;
        part.m_type = TypeOf(leaf.m_object);
        part.m_name = NameOf(leaf.m_object, number);
        part.m_bytes = LeafBytes(leaf.m_object, number, nullptr);
        return true;
    }
    return false;
}

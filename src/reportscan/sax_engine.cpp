// The SAX2 engine over one source (see sax_engine.hpp).
//
// Every `report` element open at a point of the stream has a ReportState whose
// walkers are fed by the same events; the blocks are joined in the fixed order
// when the report ends. Nothing is returned before the whole document has
// parsed, so a syntax error anywhere prints nothing.
//
// Anything unusual is not guessed at: a DOCTYPE (entities, default attributes), an
// entity reference, any libxml2 error or warning, a resource limit lxml enforces
// (depth > 256, a text node > 10,000,000 bytes), an unreadable file: the scan ends
// with Status::Delegate and the caller redoes the call through lxml.
#include "sax_engine.hpp"

#include "elements.hpp"
#include "libxml_owners.hpp"
#include "report_walker.hpp"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace varkit::reportscan {

namespace {

// lxml's limits without huge_tree (libxml2 2.14): deeper or longer input is an
// error there, so it is not ours to accept.
constexpr std::size_t kMaxDepth = 256;
constexpr std::size_t kMaxTextRun = 10000000;

struct Engine {
    xmlParserCtxtPtr ctxt = nullptr;  // not owned: set while the parser runs, to stop it
    bool delegate = false;
    bool no_memory = false;
    std::vector<Frame> frames;  // frames[0] is the document; frames[d] an element at depth d
    std::size_t depth = 0;
    std::size_t text_run = 0;
    std::vector<std::unique_ptr<ReportState>> open_reports;
    ScanOutcome outcome;
    bool with_text = true;

    Engine() { frames.resize(64); }

    void stop(bool memory = false) {
        if (memory) {
            no_memory = true;
        } else {
            delegate = true;
        }
        if (ctxt != nullptr) {
            xmlStopParser(ctxt);
        }
    }

    void start(const xmlChar *localname, const xmlChar *uri, int nb_attributes,
               const xmlChar **attributes) {
        text_run = 0;
        Frame &parent = frames[depth];
        parent.text_open = false;
        ++depth;
        if (depth > kMaxDepth) {
            return stop();
        }
        if (depth >= frames.size()) {
            frames.resize(frames.size() * 2);
        }
        Frame &frame = frames[depth];
        frame.tag = classify(localname, uri);
        frame.want_text = false;
        frame.text_open = true;
        frame.has_text = false;
        frame.text.clear();
        Attrs attrs{nb_attributes, attributes};
        for (auto &report : open_reports) {
            report->start(frames, depth, frame.tag, attrs);
        }
        if (frame.tag == Tag::Report) {
            std::size_t slot = outcome.reports.size();
            outcome.reports.emplace_back();
            open_reports.push_back(
                std::make_unique<ReportState>(depth, slot, attrs.get("kind"), with_text));
        }
    }

    void end() {
        text_run = 0;
        if (depth == 0) {
            return;
        }
        Frame &frame = frames[depth];
        for (auto &report : open_reports) {
            report->end_in_test_results(frame, depth, frame.tag);
            report->end(frame, depth, frame.tag);
        }
        if (!open_reports.empty() && open_reports.back()->base == depth) {
            std::unique_ptr<ReportState> report = std::move(open_reports.back());
            open_reports.pop_back();
            report->finish(outcome.reports[report->slot]);
        }
        --depth;
    }

    void characters(const xmlChar *text, int len) {
        text_run += static_cast<std::size_t>(len);
        if (text_run > kMaxTextRun) {
            return stop();
        }
        Frame &frame = frames[depth];
        if (frame.text_open && depth > 0) {
            frame.has_text = true;
            if (frame.want_text) {
                frame.text.append(reinterpret_cast<const char *>(text),
                                  static_cast<std::size_t>(len));
            }
        }
    }

    void other_node() {  // a comment or processing instruction ends the .text of its parent
        text_run = 0;
        frames[depth].text_open = false;
    }
};

thread_local Engine *current_engine = nullptr;

template <typename F>
void guarded(void *user, F &&body) {
    auto *engine = static_cast<Engine *>(user);
    if (engine->delegate || engine->no_memory) {
        return;
    }
    try {
        body(*engine);
    } catch (const std::bad_alloc &) {
        engine->stop(true);
    } catch (...) {
        engine->stop();  // not a memory failure: lxml redoes the call and gives the outcome
    }
}

void sax_start(void *user, const xmlChar *localname, const xmlChar *, const xmlChar *uri, int,
               const xmlChar **, int nb_attributes, int, const xmlChar **attributes) {
    guarded(user, [&](Engine &e) { e.start(localname, uri, nb_attributes, attributes); });
}
void sax_end(void *user, const xmlChar *, const xmlChar *, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.end(); });
}
void sax_characters(void *user, const xmlChar *text, int len) {
    guarded(user, [&](Engine &e) { e.characters(text, len); });
}
void sax_comment(void *user, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.other_node(); });
}
void sax_pi(void *user, const xmlChar *, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.other_node(); });
}
void sax_subset(void *user, const xmlChar *, const xmlChar *, const xmlChar *) {
    // A DOCTYPE: entities, default attributes... lxml's business. Stop even when an
    // earlier warning has already decided the delegation: the internal subset is
    // never parsed here (a SAX callback may stop the parser; error callbacks may not).
    static_cast<Engine *>(user)->stop();
}
void sax_reference(void *user, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.stop(); });
}
xmlEntityPtr sax_get_entity(void *user, const xmlChar *name) {
    // Predefined entities never get here; anything else is lxml's business.
    xmlEntityPtr predefined = xmlGetPredefinedEntity(name);
    if (predefined == nullptr) {
        guarded(user, [&](Engine &e) { e.stop(); });
    }
    return predefined;
}
void sax_structured_error(void *, xmlErrorPtr) {
    // Any error or warning: let lxml give the verdict and its message. Only a flag:
    // error callbacks may run inside libxml2's input layer, where stopping the parser
    // (which releases the input) is not safe. A fatal error ends SAX events anyway;
    // after any other, every callback returns at once (see guarded()).
    if (current_engine != nullptr) {
        current_engine->delegate = true;
    }
}

// libxml2 reports a few failures (encoding conversion, I/O) through its generic
// error channel, which prints to the process's stderr. During a scan they go here:
// silent, and the document is handed to lxml for the verdict (flag only, as above).
void generic_error(void *, const char *, ...) {
    if (current_engine != nullptr) {
        current_engine->delegate = true;
    }
}

int close_nothing(void *) { return 0; }

// Sits between libxml2 and a source: keeps the first bytes (the encoding libxml2
// detects from them) and whether the source was read to its end.
struct SourceTap {
    xmlInputReadCallback reader;
    void *source;
    unsigned char head[4] = {0, 0, 0, 0};
    std::size_t head_len = 0;
    bool at_end = false;
};
int read_tapped(void *context, char *buffer, int len) {
    auto *tap = static_cast<SourceTap *>(context);
    int n = tap->reader(tap->source, buffer, len);
    if (n == 0) {
        tap->at_end = true;
    }
    for (int i = 0; i < n && tap->head_len < sizeof tap->head; ++i) {
        tap->head[tap->head_len++] = static_cast<unsigned char>(buffer[i]);
    }
    return n;
}

// The encodings read here exactly as lxml reads them; any other (EBCDIC code pages,
// which lxml refuses, legacy sets whose iconv tables may differ) is lxml's business.
bool plain_encoding(const xmlChar *name) {
    if (name == nullptr) {
        return true;
    }
    static constexpr std::array<const char *, 10> kPlain = {
        "UTF-8",       "UTF8",   "US-ASCII", "ASCII",    "ISO-8859-1",
        "ISO-LATIN-1", "LATIN1", "UTF-16",   "UTF-16LE", "UTF-16BE"};
    for (const char *plain : kPlain) {
        if (xmlStrcasecmp(name, reinterpret_cast<const xmlChar *>(plain)) == 0) {
            return true;
        }
    }
    return false;
}

// Whether anything follows the point where libxml2 stopped: it ends a document at a
// NUL byte after the root element without an error, where lxml reports extra content.
bool input_left(xmlParserCtxtPtr ctxt, SourceTap &tap) {
    if (ctxt->input != nullptr && ctxt->input->cur != nullptr && ctxt->input->end != nullptr &&
        ctxt->input->cur < ctxt->input->end) {
        return true;
    }
    if (ctxt->input != nullptr && ctxt->input->buf != nullptr && ctxt->input->buf->raw != nullptr &&
        xmlBufUse(ctxt->input->buf->raw) > 0) {
        return true;
    }
    if (!tap.at_end) {
        char probe[1];
        return tap.reader(tap.source, probe, 1) != 0;
    }
    return false;
}

// For one pass: the error callbacks of this thread reach `engine`, and libxml2's
// generic error channel goes to them; both are restored on every way out.
class ErrorRouting {
public:
    explicit ErrorRouting(Engine &engine)
        : previous_engine_(current_engine), saved_handler_(xmlGenericError),
          saved_context_(xmlGenericErrorContext) {
        current_engine = &engine;
        xmlSetGenericErrorFunc(nullptr, generic_error);
    }
    ~ErrorRouting() {
        xmlSetGenericErrorFunc(saved_context_, saved_handler_);
        current_engine = previous_engine_;
    }
    ErrorRouting(const ErrorRouting &) = delete;
    ErrorRouting &operator=(const ErrorRouting &) = delete;

private:
    Engine *previous_engine_;
    xmlGenericErrorFunc saved_handler_;
    void *saved_context_;
};

xmlSAXHandler sax_handler() {
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = sax_start;
    sax.endElementNs = sax_end;
    sax.characters = sax_characters;
    sax.ignorableWhitespace = sax_characters;
    sax.cdataBlock = sax_characters;
    sax.comment = sax_comment;
    sax.processingInstruction = sax_pi;
    sax.internalSubset = sax_subset;
    sax.externalSubset = sax_subset;
    sax.reference = sax_reference;
    sax.getEntity = sax_get_entity;
    sax.serror = sax_structured_error;
    return sax;
}

// What the parser said about the document, beyond the engine's own findings.
struct ParseFacts {
    bool created = false;  // libxml2 made a parser context at all
    bool well_formed = false;
    bool unusual_input = false;
};

ParseFacts parse(Engine &engine, SourceTap &tap) {
    ParseFacts facts;
    xmlSAXHandler sax = sax_handler();
    ErrorRouting routing(engine);
    ParserContext ctxt(xmlCreateIOParserCtxt(&sax, &engine, read_tapped, close_nothing, &tap,
                                             XML_CHAR_ENCODING_NONE));
    if (!ctxt) {
        return facts;
    }
    facts.created = true;
    // No network, no entity substitution, no DTD loading, no huge input.
    xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET);
    engine.ctxt = ctxt.get();
    xmlParseDocument(ctxt.get());
    engine.ctxt = nullptr;
    // libxml2's SAX-compatibility document, if it made one, goes before the context.
    Document sax_document(std::exchange(ctxt->myDoc, nullptr));
    facts.well_formed = ctxt->wellFormed != 0;
    facts.unusual_input = facts.well_formed && !engine.delegate && !engine.no_memory &&
                          (xmlDetectCharEncoding(tap.head, static_cast<int>(tap.head_len)) ==
                               XML_CHAR_ENCODING_EBCDIC ||
                           !plain_encoding(ctxt->encoding) ||
                           (ctxt->input != nullptr && !plain_encoding(ctxt->input->encoding)) ||
                           input_left(ctxt.get(), tap));
    return facts;
}

}  // namespace

ScanOutcome run(xmlInputReadCallback raw_reader, void *raw_source, const bool *source_failed,
                Printing printing) {
    SourceTap tap{raw_reader, raw_source};
    Engine engine;
    engine.with_text = printing == Printing::Text;
    const ParseFacts facts = parse(engine, tap);
    if (!facts.created) {
        ScanOutcome failed;
        failed.status = ScanOutcome::Status::Delegate;
        return failed;
    }
    ScanOutcome outcome = std::move(engine.outcome);
    if (engine.no_memory) {
        outcome.reports.clear();
        outcome.status = ScanOutcome::Status::NoMemory;
    } else if (engine.delegate || !facts.well_formed || facts.unusual_input ||
               (source_failed && *source_failed) || engine.depth != 0 ||
               !engine.open_reports.empty()) {
        outcome.reports.clear();
        outcome.status = ScanOutcome::Status::Delegate;
    } else {
        // reportscan stops at the first report that raises.
        for (std::size_t i = 0; i < outcome.reports.size(); ++i) {
            if (outcome.reports[i].failed) {
                outcome.reports.resize(i + 1);
                break;
            }
        }
    }
    return outcome;
}

}  // namespace varkit::reportscan

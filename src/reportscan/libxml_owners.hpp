// Owners of the libxml2 resources the SAX engine allocates: each freed once, on every way out.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace varkit::reportscan {

struct ParserContextFree {
    void operator()(xmlParserCtxt *context) const { xmlFreeParserCtxt(context); }
};
using ParserContext = std::unique_ptr<xmlParserCtxt, ParserContextFree>;

struct DocumentFree {
    void operator()(xmlDoc *document) const { xmlFreeDoc(document); }
};
using Document = std::unique_ptr<xmlDoc, DocumentFree>;

}  // namespace varkit::reportscan

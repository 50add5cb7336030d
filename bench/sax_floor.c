/* The floor of a streaming reader: libxml2's SAX2 parse with empty element and
 * text callbacks, of each file named. Prints "well-formed-files CPU-seconds" (the
 * parse alone, in this process). Built and run by bench/_sax_floor.py. */
#include <libxml/parser.h>
#include <stdio.h>
#include <time.h>

static void on_start(void *ctx, const xmlChar *name, const xmlChar *prefix, const xmlChar *uri,
                     int namespaces, const xmlChar **ns, int attributes, int defaulted,
                     const xmlChar **attrs) {}
static void on_end(void *ctx, const xmlChar *name, const xmlChar *prefix, const xmlChar *uri) {}
static void on_text(void *ctx, const xmlChar *text, int len) {}

int main(int argc, char **argv) {
    xmlSAXHandler sax = {0};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = on_start;
    sax.endElementNs = on_end;
    sax.characters = on_text;
    static char block[65536];
    int well_formed = 0;
    clock_t spent = 0;
    for (int i = 1; i < argc; ++i) {
        FILE *file = fopen(argv[i], "rb");
        if (file == NULL) {
            perror(argv[i]);
            return 2;
        }
        clock_t start = clock();
        xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, NULL, NULL, 0, argv[i]);
        size_t got;
        while ((got = fread(block, 1, sizeof block, file)) > 0) {
            xmlParseChunk(ctxt, block, (int)got, 0);
        }
        xmlParseChunk(ctxt, NULL, 0, 1);
        well_formed += ctxt->wellFormed != 0;
        xmlFreeParserCtxt(ctxt);
        spent += clock() - start;
        fclose(file);
    }
    printf("%d %.6f\n", well_formed, (double)spent / CLOCKS_PER_SEC);
    return 0;
}

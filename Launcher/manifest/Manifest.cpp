#include "manifest/Manifest.h"

#include <expat.h>

Manifest::~Manifest() {
    if (parser != nullptr) {
        XML_ParserFree(parser);
        parser = nullptr;
    }
}

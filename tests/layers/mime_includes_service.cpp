// mime_includes_service.cpp - built as a source of the MIME layer: a header
// of the service, a layer above it, must not resolve.
#include "service/mailward_service.h"

int MimeLayerProbeIncludesService() {
    return 0;
}

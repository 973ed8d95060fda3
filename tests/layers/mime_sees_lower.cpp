// mime_sees_lower.cpp - built as a source of the MIME layer: the headers of
// the layers below it (codec, header records) and its own resolve.
#include "codec/codec.h"
#include "mailhdr/mailhdr.h"
#include "mime/mimepart.h"

int MimeLayerProbeSeesLower() {
    return 0;
}

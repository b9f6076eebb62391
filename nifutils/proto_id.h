// The outermost protocol of a frame, as nif_proto_id names it, for the
// matcher's own use.
#pragma once

#include <cstdint>

#include "zeriza.h"

namespace zeriza {

// The protocol id, with its layer and skip written as nif_proto_id does.
int32_t proto_id(int32_t link_type, const unsigned char *frame, int32_t *layer, int32_t *skip,
                 uint32_t opts);

} // namespace zeriza

// _process_image: fits an image into the target size and borders it with white.

#include "engine.h"
#include "../support/error.h"

namespace pm::engine {

Ref process_image(Arguments) {
    raise(PyExc_NotImplementedError, "_process_image is not available yet");
}

}  // namespace pm::engine

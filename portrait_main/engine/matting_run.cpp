// _image: one photograph in, one white-background portrait out.

#include "engine.h"
#include "../support/error.h"

namespace pm::engine {

Ref image(Arguments) {
    raise(PyExc_NotImplementedError, "_image is not available yet");
}

}  // namespace pm::engine

#include "statuses.h"

const char *status_name(uint32_t code)
{
    switch (code) {
#define STATUS(name, status, promise, what) \
    case status##u:                         \
        return #name;
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
    }
    return nullptr;
}

#include "promise.h"

#include <string.h>

namespace {

const promise_info table[] = {
#define FAMILY(letter, contract, what)
#define PROMISE(id, family, judged, source, what) {#id, #family[0], judgement::judged, source, what},
#include "promises.def"
#undef FAMILY
#undef PROMISE
};

static_assert(sizeof table / sizeof table[0] == promise_count, "one row per promise");

} // namespace

const promise_info &info(promise p) { return table[static_cast<int>(p)]; }

bool promise_named(const char *id, promise *out)
{
    for (int i = 0; i < promise_count; ++i)
        if (strcmp(table[i].id, id) == 0) {
            *out = static_cast<promise>(i);
            return true;
        }
    return false;
}

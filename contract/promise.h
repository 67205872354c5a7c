/* The promises that the contract programs judge, from their one table
 * (common/promises.def): an enumeration, so that a promise the table does
 * not hold does not compile, and what the table says of each. */
#ifndef CONTRACT_PROMISE_H
#define CONTRACT_PROMISE_H

#include <stdint.h>

enum class promise : uint8_t {
#define FAMILY(letter, contract, what)
#define PROMISE(id, family, judgement, source, what) id,
#include "promises.def"
#undef FAMILY
#undef PROMISE
};

constexpr int promise_count = 0
#define FAMILY(letter, contract, what)
#define PROMISE(id, family, judgement, source, what) +1
#include "promises.def"
#undef FAMILY
#undef PROMISE
    ;

// How a platform that does otherwise is judged.
enum class judgement : uint8_t {
    documented, // it deviates: "not ok"
    one_source, // it differs from the reference: "differs"
    open,       // not judged
};

struct promise_info {
    const char *id;     // "W2"
    char family;        // 'W'
    judgement judged;
    const char *source;
    const char *what;
};

const promise_info &info(promise p);
inline const char *id_of(promise p) { return info(p).id; }

// The promise named `id`; false when the table has none of that name.
bool promise_named(const char *id, promise *out);

// A set of promises, as one word per 32.
class promise_set {
public:
    void add(promise p) { bits_[index(p) / 32] |= 1u << (index(p) % 32); }
    bool has(promise p) const { return bits_[index(p) / 32] >> (index(p) % 32) & 1u; }
    bool empty(void) const
    {
        for (uint32_t word : bits_)
            if (word)
                return false;
        return true;
    }

private:
    static int index(promise p) { return static_cast<int>(p); }
    uint32_t bits_[(promise_count + 31) / 32] = {};
};

#endif

// A plug-in whose load takes seconds, as a large library on slow storage does: the host must
// not make a stop request wait for it.
#include <unistd.h>

namespace {

struct Slow {
    Slow() { ::sleep(5); }
} slow;

}  // namespace

// Saves the kill test's states through the program's store, one after another, until it
// is killed: save_child <directory> <first seq>. Standard output gets 8 bytes, the
// first seq, once it is ready, then 8 bytes per state once its save has returned.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/lumora_store.hpp"
#include "tests/reliability/store/saved_states.hpp"

namespace {
bool send(std::uint64_t value) {
    return write(1, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    lumora::LumoraStore store(argv[1]);
    std::uint64_t seq = std::strtoull(argv[2], nullptr, 10);
    if (!send(seq)) return 3;
    // Bounded, so a child that is never killed still ends.
    for (int i = 0; i < 100000; ++i, ++seq) {
        if (!store.save(lumora::test::savedState(seq))) return 4;
        if (!send(seq)) return 5;
    }
    return 0;
}

// The process-wide shard count.
#include "sharded_map.h"

#include <bit>
#include <thread>

namespace durnel {

std::size_t shard_amount_for(long online_processors) {
    const std::size_t processors =
        online_processors > 0 ? static_cast<std::size_t>(online_processors) : 1;
    return std::bit_ceil(processors * 4);
}

std::size_t default_shard_amount() {
    // The processors online, on every system: glibc answers from get_nprocs(), as
    // sysconf(_SC_NPROCESSORS_ONLN) does; 0 (unknown) counts as one.
    static const std::size_t amount =
        shard_amount_for(static_cast<long>(std::thread::hardware_concurrency()));
    return amount;
}

}  // namespace durnel

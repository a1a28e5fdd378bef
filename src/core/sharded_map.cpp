// The process-wide shard count.
#include "sharded_map.h"

#include <unistd.h>

#include <bit>

namespace durnel {

std::size_t shard_amount_for(long online_processors) {
    const std::size_t processors = online_processors > 0 ? static_cast<std::size_t>(online_processors) : 1;
    return std::bit_ceil(processors * 4);
}

std::size_t default_shard_amount() {
    static const std::size_t amount = shard_amount_for(sysconf(_SC_NPROCESSORS_ONLN));
    return amount;
}

}  // namespace durnel

// The production ShardLock: its slow paths are compiled here, once, and called out of line.
#include "shard_lock.h"

namespace durnel {

template void BasicShardLock<NativeSync>::lock_shared_slow() noexcept;
template void BasicShardLock<NativeSync>::lock_slow() noexcept;
template void BasicShardLock<NativeSync>::unlock_slow() noexcept;
template void BasicShardLock<NativeSync>::wake_one_writer() noexcept;

}  // namespace durnel

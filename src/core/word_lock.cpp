// The production WordLock: its slow paths are compiled here, once, and called out of line.
#include "word_lock.h"

namespace durnel {

template void BasicWordLock<NativeSync>::lock_slow() noexcept;
template void BasicWordLock<NativeSync>::wake_one() noexcept;

}  // namespace durnel

// The process-wide parking table: ParkingTable<NativeSync> as a zero-initialised static, and a
// thread_local ThreadData for each thread that parks.
#include "parking.h"

// MSVC knows no attributes in the gnu namespace, and warns about them.
#if defined(_MSC_VER) && !defined(__clang__)
#define DURNEL_NOINLINE __declspec(noinline)
#else
#define DURNEL_NOINLINE [[gnu::noinline]]
#endif

namespace durnel::parking {
namespace {

using Table = ParkingTable<NativeSync>;

constinit Table table;

Table::ThreadData& this_thread_data() noexcept {
    thread_local Table::ThreadData data;
    return data;
}

// One out-of-line copy for unpark_one and unpark_all: the wake path is not worth inlining twice.
DURNEL_NOINLINE UnparkResult unpark(std::uintptr_t key, unsigned limit,
                                    FunctionRef<void(UnparkResult)> callback) {
    return table.unpark(key, limit, callback);
}

}  // namespace

template <>
bool park<NativeSync>(std::uintptr_t key, FunctionRef<bool()> validate) {
    return table.park(this_thread_data(), key, validate);
}

template <>
UnparkResult unpark_one<NativeSync>(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback) {
    return unpark(key, 1, callback);
}

template <>
UnparkResult unpark_all<NativeSync>(std::uintptr_t key, FunctionRef<void(UnparkResult)> callback) {
    return unpark(key, ~0u, callback);
}

}  // namespace durnel::parking

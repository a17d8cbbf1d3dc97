// The libFuzzer entry of one fuzz target; the target's entry function is chosen at build
// time (ORVEX_FUZZ_ENTRY) so the same function also replays the corpus in a normal build.

#include <cstddef>
#include <cstdint>

int ORVEX_FUZZ_ENTRY(const std::uint8_t* Data, std::size_t Size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    return ORVEX_FUZZ_ENTRY(Data, Size);
}

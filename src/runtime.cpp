// What the launcher takes from the C++ runtime: memory for its strings, and an end to the process when
// there is none. The launcher is built without exceptions; these replace the library's versions, which
// throw, and with them its unwinder, its exception classes and its terminate handler, none of which could
// do anything in a program with no console.
#include <cstdlib>
#include <new>
#include <string>

namespace {

// A string that cannot be built ends the process at once, without a dialog (none could be built either):
// no handler registered for process end runs. Status 3, the one abort() ends with.
[[noreturn]] void OutOfMemory() { std::_Exit(3); }

}  // namespace

void* operator new(std::size_t size)
{
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    OutOfMemory();
}

void operator delete(void* memory) noexcept { std::free(memory); }

void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

#ifdef __GLIBCXX__
// libstdc++'s strings call these where they would throw: a length past max_size(), an index out of range.
// Should a new use call one not defined here, the linker takes the library's file of them, and stops on
// the definitions made twice.
namespace std {

void __throw_bad_alloc() { OutOfMemory(); }

void __throw_bad_array_new_length() { OutOfMemory(); }

void __throw_length_error(const char*) { OutOfMemory(); }

void __throw_logic_error(const char*) { OutOfMemory(); }

void __throw_out_of_range_fmt(const char*, ...) { OutOfMemory(); }

}  // namespace std
#endif

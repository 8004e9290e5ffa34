// The heap census of the loop benchmarks: operator new and the malloc family are replaced, and
// while a census runs each allocation on the main thread is put down to its first caller that
// is neither the allocator nor the C/C++ runtime: program code (namespace zurid) or not.
#include "loopbench.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

enum Kind : unsigned char { kUnknown = 0, kSkip, kProgram, kOther };

constexpr int kDepth = 32;
constexpr std::size_t kCacheSlots = 16384; // frame address -> kind
constexpr std::size_t kSiteSlots = 1024;   // deciding frame -> count

struct CacheSlot {
    std::uintptr_t addr;
    Kind kind;
};
struct SiteSlot {
    std::uintptr_t addr;
    Kind kind;
    long count;
};

CacheSlot kindCache[kCacheSlots];
SiteSlot sites[kSiteSlots];
bool censusOn = false;
pthread_t censusThread;
const void* mainBase = nullptr;
bench::AllocCensus census;
thread_local bool inCensus = false;

// The executable's full symbol table: the dynamic one lacks local functions (anonymous
// namespaces, lambdas), which would otherwise hide who called.
struct FuncSym {
    std::uintptr_t start;
    std::uintptr_t end;
    const char* name;
};
std::vector<char> exeNames; // the string table the symbols point into
std::vector<FuncSym> exeFuncs;

template <typename T> bool ReadAt(int fd, std::uint64_t offset, T* out, std::size_t count = 1) {
    const auto bytes = static_cast<ssize_t>(sizeof(T) * count);
    return ::pread(fd, out, sizeof(T) * count, static_cast<off_t>(offset)) == bytes;
}

// Function symbols of the executable's .symtab (it is not stripped: RelWithDebInfo).
void LoadExeSymbols(const void* base) {
    const int fd = ::open("/proc/self/exe", O_RDONLY);
    if (fd < 0) {
        return;
    }
    Elf64_Ehdr eh{};
    std::vector<Elf64_Shdr> sh;
    if (ReadAt(fd, 0, &eh)) {
        sh.resize(eh.e_shnum);
        if (!ReadAt(fd, eh.e_shoff, sh.data(), sh.size())) {
            sh.clear();
        }
    }
    const auto bias = eh.e_type == ET_DYN ? reinterpret_cast<std::uintptr_t>(base) : 0;
    for (const Elf64_Shdr& s : sh) {
        if (s.sh_type != SHT_SYMTAB || s.sh_link >= sh.size()) {
            continue;
        }
        std::vector<Elf64_Sym> syms(s.sh_size / sizeof(Elf64_Sym));
        exeNames.resize(sh[s.sh_link].sh_size);
        if (!ReadAt(fd, s.sh_offset, syms.data(), syms.size()) ||
            !ReadAt(fd, sh[s.sh_link].sh_offset, exeNames.data(), exeNames.size())) {
            break;
        }
        for (const Elf64_Sym& y : syms) {
            if (ELF64_ST_TYPE(y.st_info) == STT_FUNC && y.st_size > 0 &&
                y.st_name < exeNames.size()) {
                const std::uintptr_t start = bias + y.st_value;
                exeFuncs.push_back({start, start + y.st_size, exeNames.data() + y.st_name});
            }
        }
    }
    ::close(fd);
    std::sort(exeFuncs.begin(), exeFuncs.end(),
              [](const FuncSym& a, const FuncSym& b) { return a.start < b.start; });
}

const char* ExeSymbol(std::uintptr_t addr) {
    auto it = std::upper_bound(exeFuncs.begin(), exeFuncs.end(), addr,
                               [](std::uintptr_t a, const FuncSym& f) { return a < f.start; });
    if (it == exeFuncs.begin() || addr >= (--it)->end) {
        return nullptr;
    }
    return it->name;
}

// A readable name for a return address, as far as the symbol tables tell.
const char* FrameName(std::uintptr_t addr, const Dl_info& info) {
    if (info.dli_fbase == mainBase) {
        if (const char* name = ExeSymbol(addr - 1)) {
            return name;
        }
    }
    return info.dli_sname;
}

bool StartsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// What one return address says about who allocated: allocator and library internals are
// skipped; the first frame that is not decides.
Kind ClassifyFrame(std::uintptr_t addr) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(addr - 1), &info) == 0) {
        return kOther;
    }
    if (info.dli_fbase != mainBase) {
        const char* f = info.dli_fname != nullptr ? info.dli_fname : "";
        const bool runtime = std::strstr(f, "libstdc++") != nullptr ||
                             std::strstr(f, "libc.so") != nullptr ||
                             std::strstr(f, "libgcc_s") != nullptr;
        return runtime ? kSkip : kOther;
    }
    const char* name = FrameName(addr, info);
    if (name == nullptr) {
        return kOther;
    }
    for (const char* p : {"_Znw", "_Zna", "malloc", "calloc", "realloc", "_ZNSt", "_ZNKSt", "_ZSt",
                          "_ZN9__gnu_cxx", "_ZNK9__gnu_cxx", "zbench_"}) {
        if (StartsWith(name, p)) {
            return kSkip;
        }
    }
    const bool program =
        StartsWith(name, "_ZN5zurid") || StartsWith(name, "_ZZN5zurid") ||
        StartsWith(name, "_ZNK5zurid"); // functions, their lambdas and local statics
    return program ? kProgram : kOther;
}

Kind CachedKind(std::uintptr_t addr) {
    std::size_t i = (addr >> 2) % kCacheSlots;
    for (std::size_t probe = 0; probe < kCacheSlots; ++probe, i = (i + 1) % kCacheSlots) {
        if (kindCache[i].addr == addr) {
            return kindCache[i].kind;
        }
        if (kindCache[i].addr == 0) {
            kindCache[i] = {addr, ClassifyFrame(addr)};
            return kindCache[i].kind;
        }
    }
    return ClassifyFrame(addr);
}

void CountSite(std::uintptr_t addr, Kind kind) {
    std::size_t i = (addr >> 2) % kSiteSlots;
    for (std::size_t probe = 0; probe < kSiteSlots; ++probe, i = (i + 1) % kSiteSlots) {
        if (sites[i].addr == addr || sites[i].addr == 0) {
            sites[i].addr = addr;
            sites[i].kind = kind;
            ++sites[i].count;
            return;
        }
    }
}

} // namespace

// Exported and never inlined, so its own frame is recognised and skipped.
extern "C" __attribute__((noinline)) void zbench_note_allocation() {
    if (!censusOn || inCensus) {
        return;
    }
    if (!pthread_equal(pthread_self(), censusThread)) {
        __atomic_add_fetch(&census.otherThread, 1, __ATOMIC_RELAXED);
        return;
    }
    inCensus = true;
    void* frames[kDepth];
    const int n = backtrace(frames, kDepth);
    Kind decided = kOther;
    std::uintptr_t where = 0;
    for (int i = 1; i < n; ++i) {
        const auto addr = reinterpret_cast<std::uintptr_t>(frames[i]);
        const Kind k = CachedKind(addr);
        if (k != kSkip) {
            decided = k;
            where = addr;
            break;
        }
    }
    (decided == kProgram ? census.program : census.other)++;
    CountSite(where, decided);
    inCensus = false;
}

namespace {

void* CountedNew(std::size_t size) {
    zbench_note_allocation();
    return __libc_malloc(size == 0 ? 1 : size);
}

void* CountedAlignedNew(std::size_t size, std::align_val_t align) {
    zbench_note_allocation();
    return __libc_memalign(static_cast<std::size_t>(align), size == 0 ? 1 : size);
}

} // namespace

extern "C" {
void* malloc(std::size_t size) {
    zbench_note_allocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    zbench_note_allocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    zbench_note_allocation();
    return __libc_realloc(p, size);
}
void free(void* p) {
    __libc_free(p);
}
}

void* operator new(std::size_t size) {
    if (void* p = CountedNew(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedNew(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedNew(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = CountedAlignedNew(size, align)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return operator new(size, align);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return CountedAlignedNew(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return CountedAlignedNew(size, align);
}
void operator delete(void* p) noexcept {
    __libc_free(p);
}
void operator delete[](void* p) noexcept {
    __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    __libc_free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    __libc_free(p);
}

namespace bench {

void PrepareCensus() {
    if (mainBase != nullptr) {
        return;
    }
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&zbench_note_allocation), &info);
    mainBase = info.dli_fbase;
    LoadExeSymbols(mainBase);
    void* warm[4];
    backtrace(warm, 4); // loads the unwinder now, not inside the first counted call
}

void BeginCensus() {
    PrepareCensus();
    census = AllocCensus{};
    std::memset(sites, 0, sizeof sites);
    censusThread = pthread_self();
    censusOn = true;
}

AllocCensus EndCensus() {
    censusOn = false;
    AllocCensus result = census;
    result.otherThread = __atomic_load_n(&census.otherThread, __ATOMIC_RELAXED);
    return result;
}

void PrintCensusSites(int perClass) {
    std::vector<SiteSlot> found;
    for (const SiteSlot& s : sites) {
        if (s.count > 0) {
            found.push_back(s);
        }
    }
    std::sort(found.begin(), found.end(), [](const SiteSlot& a, const SiteSlot& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.count > b.count;
    });
    int shown[4] = {};
    for (const SiteSlot& s : found) {
        if (shown[s.kind]++ >= perClass) {
            continue;
        }
        Dl_info info{};
        const char* name = "?";
        char* readable = nullptr;
        if (s.addr != 0 && dladdr(reinterpret_cast<void*>(s.addr - 1), &info) != 0) {
            if (const char* raw = FrameName(s.addr, info)) {
                int status = 0;
                readable = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
                name = readable != nullptr ? readable : raw;
            } else if (info.dli_fname != nullptr) {
                name = info.dli_fname;
            }
        }
        std::printf("      %-7s %8ld  %.110s\n", s.kind == kProgram ? "program" : "other", s.count,
                    name);
        std::free(readable);
    }
}
} // namespace bench

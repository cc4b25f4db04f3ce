// Traceback entries (see traceback.hpp).
#include "traceback.hpp"

#include <Python.h>

#include <frameobject.h>

#include <cstddef>
#include <string_view>

#include "compat.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "source_map.hpp"

namespace tarnvel {
namespace {

// One code object per (function, line), made on the first failure there and
// kept: the entry it gives is the same every time. Written only with the
// interpreter lock held.
struct CachedCode {
    const char* function;
    int line;
    PyObject* code;
};
constexpr std::size_t cache_size = 64;
CachedCode cache[cache_size];
std::size_t cache_used = 0;

// The code object of an entry: borrowed from the cache, or owned by `uncached`
// once the cache is full.
PyObject* entry_code(const char* function, int line, Ref& uncached)
{
    for (std::size_t i = 0; i < cache_used; ++i) {
        // The same name is usually the same pointer; by text otherwise, since
        // each file that names a function may hold its own copy of the name.
        const char* cached = cache[i].function;
        if (cache[i].line == line && (cached == function || std::string_view(cached) == function)) {
            return cache[i].code;
        }
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(source::file, function, line));
    if (code == nullptr || cache_used == cache_size) {
        uncached = Ref::steal(code);
        return code;
    }
    cache[cache_used++] = {function, line, code};
    return code;
}

}  // namespace

void add_traceback(const char* function, int line)
{
    Ref uncached;
    PyFrameObject* frame;
    {
        compat::PendingException pending;
        PyObject* code = entry_code(function, line, uncached);
        frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                              state.namespace_dict, nullptr)
                                : nullptr;
        if (frame == nullptr) {
            // The failure to make the entry replaces the exception set aside.
            pending.drop();
            return;
        }
    }
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace tarnvel

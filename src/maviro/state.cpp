// The module's process state: S, and init_state(), which builds it at exec.
#include "maviro.hpp"

#include <cassert>
#include <cstring>
#include <iterator>

namespace maviro {

State S{};

namespace {

#include "../common/name_texts.inc"

#define KWNAMES(id, ...) const char* const kw_##id[] = {__VA_ARGS__, nullptr};
#include "kwnames.def"
#undef KWNAMES
const char* const* const kKwTexts[] = {
#define KWNAMES(id, ...) kw_##id,
#include "kwnames.def"
#undef KWNAMES
};
static_assert(std::size(kKwTexts) == kw::COUNT && std::size(State{}.kwnames) == kw::COUNT);

// Cuts every log line at its placeholders into S.log_parts; an empty part
// stays null, so a line costs no more parts than it has text between values.
[[nodiscard]] bool split_log_lines() {
    int k = 0;
    for (int id = 0; id < lg::COUNT; ++id) {
        assert(k == lg::first_part(id));
        const char* part = lg::kLines[id];
        for (int h = 0; h <= lg::holes(id); ++h, ++k) {
            const char* end = strchr(part, '{');
            if (!end) end = part + strlen(part);
            if (end != part) {
                PyObject* t = PyUnicode_FromStringAndSize(part, end - part);
                if (!t) return false;
                PyUnicode_InternInPlace(&t);
                Py_XSETREF(S.log_parts[k], t);
            }
            part = *end ? strchr(end, '}') + 1 : end;
        }
    }
    assert(k == lg::kParts);
    return true;
}

[[nodiscard]] bool keep(PyObject*& slot, PyObject* new_ref) {
    if (!new_ref) return false;
    Py_XSETREF(slot, new_ref);
    return true;
}

[[nodiscard]] bool keep_attr(PyObject*& slot, const char* module, const char* attr) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod && keep(slot, PyObject_GetAttrString(mod.get(), attr));
}

}  // namespace

// S is never torn down: the guard (common/guard.hpp) lets the module execute
// once per process and keeps it alive to the end, so no second module object
// or interpreter can ever see these references released; they go with the
// process. A failed exec leaves what was built for the retry to replace.
bool init_state(PyObject* module) {
    S.module = module;
    S.globals = PyModule_GetDict(module);
    if (!common::intern_all(kNameTexts, S.names, nm::COUNT)) return false;
    S.params_code[0] = S.params_code_count[0] = N(market_code);
    S.params_code_count[1] = N(count);
    for (int i = 0; i < kw::COUNT; ++i)
        if (!keep(S.kwnames[i], common::interned_tuple(kKwTexts[i]))) return false;
    if (!common::intern_all(kTexts, S.texts, tx::COUNT) || !split_log_lines()) return false;
    if (!keep(S.zero, PyLong_FromLong(0)) || !keep(S.thousand, PyLong_FromLong(1000)) ||
        !keep(S.booked_orders, PyDict_New()) || !keep(S.booked_matches, PyDict_New()) ||
        !keep_attr(S.enum_meta, "enum", "EnumMeta") || !keep_attr(S.deque_type, "collections", "deque") ||
        !keep(S.deque_append, PyObject_GetAttrString(S.deque_type, "append")) ||
        !keep(S.deque_reversed, PyObject_GetAttrString(S.deque_type, "__reversed__")))
        return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (!watch_globals()) return false;
#endif
    return fastpaths_ready();
}

}  // namespace maviro

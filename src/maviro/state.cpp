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
static_assert(std::size(kKwTexts) == kw::COUNT);

// Each module function's name and parameter names (nm:: ids) from
// functions.def; only the functions that parse keywords need the names.
const char* const kFunctionNames[] = {
#define FUNCTION(name, kind, returns, params, doc) #name,
#include "functions.def"
#undef FUNCTION
};
#define P(name, type) nm::name,
#define D(name, type, default_) nm::name,
#define PARAM_IDS_FASTCALL_KW(...) __VA_ARGS__
#define PARAM_IDS_O(...)
#define PARAM_IDS_NOARGS(...)
const int kParamIds[][fn::most_params() + 1] = {
#define FUNCTION(name, kind, returns, params, doc) {PARAM_IDS_##kind(params) - 1},
#include "functions.def"
#undef FUNCTION
};
#undef PARAM_IDS_NOARGS
#undef PARAM_IDS_O
#undef PARAM_IDS_FASTCALL_KW
#undef D
#undef P
static_assert(std::size(kFunctionNames) == fn::COUNT && std::size(kParamIds) == fn::COUNT);

// Cuts every log line at its placeholders into S.consts.log_parts; an empty part
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
                if (!S.consts.log_parts[k].set(t)) return false;
            }
            part = *end ? strchr(end, '}') + 1 : end;
        }
    }
    assert(k == lg::kParts);
    return true;
}

[[nodiscard]] bool keep_attr(Immortal& slot, const char* module, const char* attr) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod && slot.set(PyObject_GetAttrString(mod.get(), attr));
}

}  // namespace

common::SignatureOf<Borrowed> signature(int f) {
    return {kFunctionNames[f], fn::kParamCounts[f], S.consts.params[f], nullptr};
}

// A failed exec leaves what was built for the retry to replace.
bool init_state(PyObject* module) {
    State::Consts& k = S.consts;
    k.module = module;
    k.globals = PyModule_GetDict(module);
    if (!common::intern_all(kNameTexts, k.names, nm::COUNT)) return false;
    for (int f = 0; f < fn::COUNT; ++f)
        for (int i = 0; kParamIds[f][i] >= 0; ++i) k.params[f][i] = k.names[kParamIds[f][i]];
    for (int i = 0; i < kw::COUNT; ++i)
        if (!k.kwnames[i].set(common::interned_tuple(kKwTexts[i]))) return false;
    if (!common::intern_all(kTexts, k.texts, tx::COUNT) || !split_log_lines()) return false;
    if (!k.zero.set(PyLong_FromLong(0)) || !k.thousand.set(PyLong_FromLong(1000)) ||
        !S.books.orders.set(PyDict_New()) || !S.books.matches.set(PyDict_New()) ||
        !keep_attr(k.enum_meta, "enum", "EnumMeta") || !keep_attr(k.deque_type, "collections", "deque") ||
        !k.deque_append.set(PyObject_GetAttrString(k.deque_type, "append")) ||
        !k.deque_reversed.set(PyObject_GetAttrString(k.deque_type, "__reversed__")))
        return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (!watch_globals()) return false;
#endif
    return fastpaths_ready();
}

}  // namespace maviro

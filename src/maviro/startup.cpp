// Construction and start-up of MachStrategy: __init__, initialize, on_initialize.
#include "maviro.hpp"

namespace maviro {

PyObject* init(PyObject* const* argv) {
    PyObject* self = argv[0];
    PyObject* config = argv[1];
    // super().__init__(): the SDK strategy's own set-up, which provides self.context.
    {
        Ref super = common::call((PyObject*)&PySuper_Type, S.consts.cls.get(), self);
        if (!super) return nullptr;
        Ref base_init = getattr(super.get(), N(__init__));
        if (!base_init || !host_call<use::init, call::sdk_init>(base_init.get())) return nullptr;
    }
    if (!set_attr(self, N(logged_in), Py_False) || !set_attr(self, N(order_num), S.consts.zero.get()) ||
        !set_attr(self, N(bar_cnt), S.consts.zero.get()) || !set_attr(self, N(current_trade_dt), S.consts.zero.get()))
        return nullptr;
    Ref now = datetime_now();
    if (!now) return nullptr;
    Ref first_dt = common::call_method(now.get(), N(date));
    if (!first_dt || !set_attr(self, N(first_dt), first_dt.get()) || !set_attr(self, N(config), config))
        return nullptr;
    Py_RETURN_NONE;
}

namespace {

// self.config.base, read afresh at each use as the attribute chain would be.
[[nodiscard]] Ref config_base(PyObject* self) {
    Ref config = getattr(self, N(config));
    if (!config) return {};
    return getattr(config.get(), N(base));
}

// hasattr(obj, name): only AttributeError means "missing"; anything else propagates.
// Returns 1, 0, or -1 with the exception set.
[[nodiscard]] int has_attr(PyObject* obj, PyObject* name) {
    Ref value = getattr(obj, name);
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// hasattr(self.config.base, name)
[[nodiscard]] int base_has(PyObject* self, PyObject* name) {
    Ref base = config_base(self);
    if (!base) return -1;
    return has_attr(base.get(), name);
}

// self.config.base.<name>
[[nodiscard]] Ref base_attr(PyObject* self, PyObject* name) {
    Ref base = config_base(self);
    if (!base) return {};
    return getattr(base.get(), name);
}

// The gateway name of a descriptor "<anything>_<name>": `_, name = text.split("_")`,
// except that a wrong number of parts names the descriptor instead of the bare
// unpacking message, which would not tell a user which configuration entry is wrong.
[[nodiscard]] Ref gateway_name(PyObject* descriptor, const char* member) {
    Ref parts = common::call_method(descriptor, N(split), TX(underscore));
    if (!parts) return {};
    Ref seq = Ref::steal(PySequence_Fast(parts.get(), "descriptor split did not give a sequence"));
    if (!seq) return {};
    if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
        PyErr_Format(PyExc_ValueError,
                     "%s descriptor %R must be two parts joined by one '_', got %zd part(s)",
                     member, descriptor, PySequence_Fast_GET_SIZE(seq.get()));
        return {};
    }
    return Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
}

// mach_params[key] = value, with mach_params looked up at use.
[[nodiscard]] bool store_param(PyObject* key, PyObject* value) {
    Ref params = global(nm::mach_params);
    return params && PyObject_SetItem(params.get(), key, value) == 0;
}

// self.context.<method>, bound before the arguments are evaluated, as a call
// expression does.
[[nodiscard]] Ref context_method(PyObject* self, PyObject* method) {
    Ref context = getattr(self, N(context));
    if (!context) return {};
    return getattr(context.get(), method);
}

// get_mach_tdtype(name.upper())
[[nodiscard]] Ref td_type(PyObject* name) {
    Ref fn = global(nm::get_mach_tdtype);
    if (!fn) return {};
    Ref upper = common::call_method(name, N(upper));
    if (!upper) return {};
    return host_call<use::initialize, call::get_mach_tdtype>(fn.get(), upper.get());
}

[[nodiscard]] bool register_md(PyObject* self) {
    int has = base_has(self, N(md_type));
    if (has < 0) return false;
    int mamd = 0;
    if (has) {
        Ref md_type = base_attr(self, N(md_type));
        if (!md_type) return false;
        mamd = PyObject_RichCompareBool(md_type.get(), N(MaMD), Py_EQ);
        if (mamd < 0) return false;
    }
    constexpr int I = use::initialize;
    auto md_type = [mamd] { return mamd ? MEMBER(I, MDType, MaMD) : MEMBER(I, MDType, AMD); };
    {
        Ref add = context_method(self, N(add_md_broker));
        if (!add) return false;
        Ref type = md_type();
        if (!type || !host_call<I, call::add_md_broker>(add.get(), type.get())) return false;
    }
    Ref type = md_type();
    return type && store_param(N(mach_md), type.get());
}

[[nodiscard]] bool register_order_way(PyObject* self) {
    int has = base_has(self, N(order_way));
    if (has <= 0) return has == 0;
    Ref method = context_method(self, N(set_order_way));
    if (!method) return false;
    Ref order_way = base_attr(self, N(order_way));
    return order_way && host_call<use::initialize, call::set_order_way>(method.get(), order_way.get());
}

[[nodiscard]] bool register_td(PyObject* self) {
    Ref accounts = base_attr(self, N(accounts));
    if (!accounts) return false;
    Ref items = common::call_method(accounts.get(), N(items));
    if (!items) return false;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        // for _account_type, descriptor in accounts.items()
        Ref pair = Ref::steal(PySequence_Fast(item.get(), "cannot unpack non-iterable accounts item"));
        if (!pair) return false;
        if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "accounts item %R is not a (key, value) pair", item.get());
            return false;
        }
        Ref descriptor = Ref::borrow(PySequence_Fast_GET_ITEM(pair.get(), 1));
        Ref name = gateway_name(descriptor.get(), "accounts");
        if (!name) return false;
        {
            Ref add = context_method(self, N(add_td_broker));
            if (!add) return false;
            Ref type = td_type(name.get());
            if (!type || !host_call<use::initialize, call::add_td_broker>(add.get(), type.get())) return false;
        }
        // Asked again rather than reused: the host may answer a fresh object per call.
        Ref type = td_type(name.get());
        if (!type || !store_param(N(mach_td), type.get())) return false;
    }
    return !PyErr_Occurred();
}

[[nodiscard]] bool register_algo(PyObject* self) {
    int has = base_has(self, N(algo_account));
    if (has <= 0) return has == 0;
    {
        Ref algo_account = base_attr(self, N(algo_account));
        if (!algo_account) return false;
        if (algo_account.get() == Py_None) return true;
    }
    Ref descriptor = base_attr(self, N(algo_account));
    if (!descriptor) return false;
    Ref name = gateway_name(descriptor.get(), "algo_account");
    if (!name) return false;
    Ref upper = common::call_method(name.get(), N(upper));
    if (!upper) return false;
    int atx = PyObject_RichCompareBool(upper.get(), N(ATX), Py_EQ);
    if (atx <= 0) return atx == 0;
    Ref add = context_method(self, N(add_algo_broker));
    if (!add) return false;
    Ref type = MEMBER(use::initialize, AlgoType, ATX);
    return type && host_call<use::initialize, call::add_algo_broker>(add.get(), type.get());
}

[[nodiscard]] bool subscribe_bars(PyObject* self) {
    Ref subscribe = context_method(self, N(subscribe));
    if (!subscribe) return false;
    Ref params = global(nm::mach_params);
    if (!params) return false;
    Ref md = Ref::steal(PyObject_GetItem(params.get(), N(mach_md)));
    if (!md) return false;
    Ref market = MEMBER(use::initialize, MarketType, SZSE);
    if (!market) return false;
    Ref data_type = MEMBER(use::initialize, SubscribeDataType, Bar);
    if (!data_type) return false;
    Ref codes = Ref::steal(PyList_New(0));
    if (!codes) return false;
    return bool(host_call<use::initialize, call::subscribe>(subscribe.get(), md.get(), market.get(), data_type.get(),
                                                           codes.get(), TX(period_1m)));
}

}  // namespace

PyObject* initialize(PyObject* const* argv) {
    PyObject* self = argv[0];  // argv[1], the SDK's config, is ignored: self.config rules
    {
        Ref log = global(nm::system_log);
        if (!log || !host_method<use::initialize, call::info>(log.get(), N(info), log_text(lg::initialize)))
            return nullptr;
    }
    if (!register_md(self) || !register_order_way(self) || !register_td(self) || !register_algo(self))
        return nullptr;
    {
        Ref context = getattr(self, N(context));
        if (!context || !store_param(N(mach_context), context.get())) return nullptr;
    }
    if (!subscribe_bars(self) || !common::call_method(self, N(set_timer))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_initialize(PyObject* const*) { Py_RETURN_NONE; }

}  // namespace maviro

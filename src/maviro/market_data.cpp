// Market data intake (snapshots, level-2 orders and trades, bars) and the
// tick and bar histories with their four query functions.
#include "maviro.hpp"
#include "../common/numbers.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

namespace maviro {

namespace {

struct KeyAttr {
    int key;   // record key
    int attr;  // gateway attribute it comes from
};

// The snapshot fields after "market_code" and "datetime", in record order.
constexpr KeyAttr kTickFields[] = {
    {nm::open_price, nm::open_price},       {nm::close_price, nm::close_price},
    {nm::high_price, nm::high_price},       {nm::low_price, nm::low_price},
    {nm::total_turnover, nm::total_value_trade}, {nm::volume, nm::total_volume_trade},
    {nm::prev_close, nm::pre_close_price},  {nm::ask_vols, nm::ask_volume},
    {nm::asks, nm::ask_price},              {nm::bid_vols, nm::bid_volume},
    {nm::bids, nm::bid_price},              {nm::high_limited, nm::high_limited},
    {nm::last_price, nm::last_price},       {nm::low_limited, nm::low_limited},
    {nm::open_interest, nm::open_interest}, {nm::prev_settlement, nm::prev_settlement},
    {nm::iopv, nm::iopv},                   {nm::trading_phase_code, nm::trading_phase_code},
};

// The bar fields after "market_code" and "orig_time".
constexpr KeyAttr kBarFields[] = {
    {nm::open_price, nm::open},       {nm::close_price, nm::close},   {nm::high_price, nm::high},
    {nm::low_price, nm::low},         {nm::total_turnover, nm::amount}, {nm::volume, nm::volume},
    {nm::prev_close, nm::prev_close},
};

// Every field's attribute is one uses.def lists for the method reading it.
template <size_t K>
constexpr bool all_listed(int scope, const KeyAttr (&fields)[K]) {
    for (const KeyAttr& f : fields)
        if (!use::listed(scope, use::Read, f.attr)) return false;
    return true;
}
static_assert(all_listed(use::on_snapshot, kTickFields), "a snapshot field uses.def does not list");
static_assert(all_listed(use::on_bar, kBarFields), "a bar field uses.def does not list");

// A record dict with every key in place (values None) in record order,
// copied from a template made on first use: filling a copy only replaces
// values, which costs less than inserting each key into an empty dict. The
// template never leaves here.
template <size_t K>
Ref record_template(Immortal& tmpl, int first, int second, const KeyAttr (&fields)[K]) {
    if (!tmpl) {
        Ref t = Ref::steal(common::dict_presized(2 + K));
        if (!t || PyDict_SetItem(t.get(), S.consts.names[first], Py_None) < 0 ||
            PyDict_SetItem(t.get(), S.consts.names[second], Py_None) < 0)
            return {};
        for (const KeyAttr& f : fields)
            if (PyDict_SetItem(t.get(), S.consts.names[f.key], Py_None) < 0) return {};
        (void)tmpl.set(t.release());
    }
    return Ref::steal(PyDict_Copy(tmpl));
}

// record[key] = value for a record fresh from its template, whose entry `ix`
// has that key: the value replaced in place, with the dict tracked by the
// collector as a store would track it. No one has seen the record yet, so
// nothing can have noted its version or watch it. Otherwise an ordinary store.
[[nodiscard]] bool put(PyObject* record, Py_ssize_t ix, PyObject* key, PyObject* value) {
    PyObject** slot = common::layout::combined_value_slot(record, ix, key);
    if (!slot) return PyDict_SetItem(record, key, value) == 0;
    if (!common::layout::gc_tracked(record) && common::layout::may_be_tracked(value)) PyObject_GC_Track(record);
    PyObject* old = *slot;
    Py_INCREF(value);
    *slot = value;
    Py_XDECREF(old);
    return true;
}

// The fields follow the two leading keys in the template.
template <size_t K>
[[nodiscard]] bool copy_fields(PyObject* record, PyObject* src, const KeyAttr (&fields)[K]) {
    Py_ssize_t ix = 2;
    for (const KeyAttr& f : fields) {
        Ref v = getattr(src, S.consts.names[f.attr].get());
        if (!v || !put(record, ix++, S.consts.names[f.key], v.get())) return false;
    }
    return true;
}

// convert_int_to_datetime(rec.<stamp> / 1000)
template <int Use>
Ref record_time(PyObject* rec, PyObject* stamp_attr) {
    Ref convert = global(nm::convert_int_to_datetime);
    if (!convert) return {};
    Ref stamp = getattr(rec, stamp_attr);
    if (!stamp) return {};
    Ref quotient = Ref::steal(common::true_divide_by(stamp.get(), S.consts.thousand.get(), 1000));
    if (!quotient) return {};
    return host_call<Use, call::convert_int_to_datetime>(convert.get(), quotient.get());
}

// a + "." + b for two exact str, built in one allocation.
Ref join_code(PyObject* a, PyObject* b) {
    if (!common::unicode_ready(a) || !common::unicode_ready(b)) return {};
    Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    if (PyUnicode_IS_ASCII(a) && PyUnicode_IS_ASCII(b)) {
        // Market codes are ASCII: two plain copies.
        Ref out = Ref::steal(PyUnicode_New(la + 1 + lb, 127));
        if (!out) return {};
        Py_UCS1* d = PyUnicode_1BYTE_DATA(out.get());
        memcpy(d, PyUnicode_1BYTE_DATA(a), (size_t)la);
        d[la] = '.';
        memcpy(d + la + 1, PyUnicode_1BYTE_DATA(b), (size_t)lb);
        return out;
    }
    Py_UCS4 maxchar = std::max(PyUnicode_MAX_CHAR_VALUE(a), PyUnicode_MAX_CHAR_VALUE(b));
    Ref out = Ref::steal(PyUnicode_New(la + 1 + lb, maxchar));
    if (!out) return {};
    PyUnicode_WriteChar(out.get(), la, '.');
    if (PyUnicode_CopyCharacters(out.get(), 0, a, 0, la) < 0 ||
        PyUnicode_CopyCharacters(out.get(), la + 1, b, 0, lb) < 0)
        return {};
    return out;
}

// rec.security_id + "." + get_exchane_from_mach_mdtype(rec.market_type)
template <int Use>
Ref market_code_of(PyObject* rec) {
    Ref sid = getattr(rec, REC(Use, security_id));
    if (!sid) return {};
    // Text joins at the end in one piece; anything else meets "+" where the
    // expression has it, so its errors come before the mapper is called.
    bool text = PyUnicode_CheckExact(sid.get());
    Ref head;
    if (!text && !(head = Ref::steal(PyNumber_Add(sid.get(), TX(dot))))) return {};
    Ref mapper = global(nm::get_exchane_from_mach_mdtype);
    if (!mapper) return {};
    Ref market = getattr(rec, REC(Use, market_type));
    if (!market) return {};
    Ref exchange = host_call<Use, call::get_exchane_from_mach_mdtype>(mapper.get(), market.get());
    if (!exchange) return {};
    if (text && PyUnicode_CheckExact(exchange.get())) return join_code(sid.get(), exchange.get());
    if (text && !(head = Ref::steal(PyUnicode_Concat(sid.get(), TX(dot))))) return {};
    return Ref::steal(PyNumber_Add(head.get(), exchange.get()));
}

// chr(rec.<attr>): the one-character text of a character code.
Ref char_of(PyObject* rec, PyObject* attr) {
    Ref code = getattr(rec, attr);
    if (!code) return {};
    long v;
    if (common::small_int(code.get(), &v)) {
        // ASCII codes: chr() gives the interpreter's one-character singletons,
        // kept in the state after the first call.
        if (v >= 0 && v < State::Caches::kAsciiCodes) {
            Immortal& c = S.caches.ascii_chars[v];
            if (!c && !c.set(PyUnicode_FromOrdinal((int)v))) return {};
            return Ref::borrow(c);
        }
        if (v >= 0 && v <= 0x10ffff) return Ref::steal(PyUnicode_FromOrdinal((int)v));
    } else if (PyLong_CheckExact(code.get())) {
        v = PyLong_AsLong(code.get());
        if (v >= 0 && v <= 0x10ffff) return Ref::steal(PyUnicode_FromOrdinal((int)v));
        PyErr_Clear();
    }
    // Anything unusual gets the builtin's own conversion and errors.
    Ref chr = global(nm::chr);
    if (!chr) return {};
    return common::call(chr.get(), code.get());
}

// mapper(chr(rec.<code_attr>), rec.market_type), the mapper being the call
// `Call` of calls.def, bound to the module global mapper_name.
template <int Use, int Call>
Ref map_code(PyObject* rec, int mapper_name, PyObject* code_attr) {
    Ref mapper = global(mapper_name);
    if (!mapper) return {};
    Ref text = char_of(rec, code_attr);
    if (!text) return {};
    Ref market = getattr(rec, REC(Use, market_type));
    if (!market) return {};
    return host_call<Use, Call>(mapper.get(), text.get(), market.get());
}

// n + 1, in C for an exact int that fits.
Ref plus_one(PyObject* n) {
    if (PyLong_CheckExact(n)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
        if (!overflow && v < LLONG_MAX) return Ref::steal(PyLong_FromLongLong(v + 1));
    }
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return {};
    return Ref::steal(PyNumber_InPlaceAdd(n, one.get()));
}

constexpr long kTicksKept = 60;

// A new empty history: bounded at kTicksKept records for ticks, unbounded for bars.
Ref new_history(bool bounded) {
    Ref deque = global(nm::deque);
    if (!deque) return {};
    if (!bounded) return common::call(deque.get());
    Ref maxlen = Ref::steal(PyLong_FromLong(kTicksKept));  // a cached small int
    if (!maxlen) return {};
    return common::call_kw(deque.get(), KW(maxlen), maxlen.get());
}

// history[code].append(record), storing a new history under code first when
// there is none. For a plain dict one lookup serves the test and the read.
[[nodiscard]] bool add_to_history(int history_name, PyObject* code, PyObject* record, bool bounded) {
    Ref history = global(history_name);
    if (!history) return false;
    Ref items;
    if (PyDict_CheckExact(history.get())) {
        items = Ref::borrow(PyDict_GetItemWithError(history.get(), code));
        if (!items) {
            if (PyErr_Occurred()) return false;
            items = new_history(bounded);
            if (!items || PyDict_SetItem(history.get(), code, items.get()) < 0) return false;
        }
    } else {
        // Any other mapping the host put there gets the plain container protocol.
        int has = PySequence_Contains(history.get(), code);
        if (has < 0) return false;
        if (!has) {
            Ref fresh = new_history(bounded);
            if (!fresh || PyObject_SetItem(history.get(), code, fresh.get()) < 0) return false;
        }
        items = Ref::steal(PyObject_GetItem(history.get(), code));
        if (!items) return false;
    }
    if (Py_TYPE(items.get()) == (PyTypeObject*)S.consts.deque_type.get()) {
        // A builtin type's methods cannot be replaced: call deque.append
        // directly instead of looking it up on every record.
        PyObject* argv[] = {items.get(), record};
        return bool(Ref::steal(common::vectorcall(S.consts.deque_append, argv, 2, nullptr)));
    }
    return bool(common::call_method(items.get(), N(append), record));
}

// Event(type, calendar_dt=dt, trading_dt=dt[, field=value]) appended to the queue;
// event_cls is the Event global, looked up before the type as the call reads;
// kind is the nm:: id of the EVENT member `type` was read as.
[[nodiscard]] bool post_timed(PyObject* event_cls, PyObject* type, int kind, PyObject* kwnames, PyObject* dt,
                              PyObject* value) {
    Ref event = value ? common::call_kw(event_cls, kwnames, type, dt, dt, value)
                      : common::call_kw(event_cls, kwnames, type, dt, dt);
    return event && post(event.get(), kind);
}

// The history under market_code: 1 with `items` filled, 0 when there is none,
// -1 on error. For a plain dict the membership test and the read are one
// lookup, so a day switch in between cannot turn the answer into a KeyError.
[[nodiscard]] int find_history(int history_name, PyObject* code, Ref& items) {
    Ref history = global(history_name);
    if (!history) return -1;
    if (PyDict_CheckExact(history.get())) return common::dict_get_item_ref(history.get(), code, items.out());
    int has = PySequence_Contains(history.get(), code);
    if (has <= 0) return has;
    items = Ref::steal(PyObject_GetItem(history.get(), code));
    return items ? 1 : -1;
}

// records[-count:] as a new list, in time proportional to the records returned.
PyObject* last_records(PyObject* items, PyObject* count) {
    Py_ssize_t c = PyNumber_AsSsize_t(count, nullptr);  // clamps huge values
    if (c == -1 && PyErr_Occurred()) return nullptr;
    if (Py_TYPE(items) == (PyTypeObject*)S.consts.deque_type.get()) {
        // An exact deque runs no Python code while it is read, so the copy is
        // one indivisible step under the GIL. Indexing walks the deque's blocks
        // (64 records each) from the nearer end, so taking the newest m records
        // by index costs about m*m/128 steps: nothing for the few records a
        // strategy usually asks for, quadratic for long selections, which the
        // reverse iterator takes instead.
        constexpr Py_ssize_t kIndexed = 128;
        Py_ssize_t n = PyObject_Size(items);
        if (n < 0) return nullptr;
        Py_ssize_t start = c > 0 ? (c >= n ? 0 : n - c) : (c < -n ? n : -c);
        Py_ssize_t m = n - start;
        Ref it;
        if (m > kIndexed) {
            it = Ref::steal(common::vectorcall(S.consts.deque_reversed, &items, 1, nullptr));
            if (!it) return nullptr;
        }
        Ref out = Ref::steal(PyList_New(m));
        if (!out) return nullptr;
        // A collection while the list was made may have run a finaliser that
        // changed the deque: then indexing or the iterator raises.
        if (!it) {
            for (Py_ssize_t i = 0; i < m; ++i) {
                PyObject* item = PySequence_GetItem(items, start + i);
                if (!item) return nullptr;
                PyList_SET_ITEM(out.get(), i, item);
            }
            return out.release();
        }
        iternextfunc next = Py_TYPE(it.get())->tp_iternext;
        for (Py_ssize_t i = m - 1; i >= 0; --i) {
            PyObject* item = next(it.get());
            if (!item) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "deque mutated during iteration");
                return nullptr;
            }
            PyList_SET_ITEM(out.get(), i, item);
        }
        return out.release();
    }
    Ref all = Ref::steal(PySequence_List(items));
    if (!all) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(all.get());
    Py_ssize_t start = c > 0 ? (c >= n ? 0 : n - c) : (c < -n ? n : -c);
    if (start > 0 && PyList_SetSlice(all.get(), 0, start, nullptr) < 0) return nullptr;
    return all.release();
}

PyObject* current(int f, int history_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!common::parse_args(signature(f), args, nargs, kwnames, a)) return nullptr;
    Ref items;
    int found = find_history(history_name, a[0], items);
    if (found <= 0) return found < 0 ? nullptr : common::new_ref(Py_None);
    return PySequence_GetItem(items.get(), -1);
}

PyObject* last_n(int f, int history_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!common::parse_args(signature(f), args, nargs, kwnames, a)) return nullptr;
    if (!PyLong_Check(a[1])) {
        PyErr_Format(PyExc_TypeError, "%s(): count must be an integer, not %.200s", signature(f).name,
                     Py_TYPE(a[1])->tp_name);
        return nullptr;
    }
    Ref items;
    int found = find_history(history_name, a[0], items);
    if (found <= 0) return found < 0 ? nullptr : common::new_ref(Py_None);
    return last_records(items.get(), a[1]);
}

}  // namespace

PyObject* get_current_tick(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return current(fn::get_current_tick, nm::history_tick, args, nargs, kwnames);
}

PyObject* get_current_bar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return current(fn::get_current_bar, nm::history_bar, args, nargs, kwnames);
}

PyObject* history_ticks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return last_n(fn::history_ticks, nm::history_tick, args, nargs, kwnames);
}

PyObject* history_bars(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return last_n(fn::history_bars, nm::history_bar, args, nargs, kwnames);
}

PyObject* on_snapshot(PyObject* const* argv) {
    constexpr int U = use::on_snapshot;
    PyObject* snap = argv[1];
    Ref dt = record_time<U>(snap, REC(U, orig_time));
    if (!dt) return nullptr;
    Ref code = market_code_of<U>(snap);
    if (!code) return nullptr;
    Ref tick = record_template(S.caches.tick_template, nm::market_code, nm::datetime, kTickFields);
    if (!tick || !put(tick.get(), 0, N(market_code), code.get()) || !put(tick.get(), 1, N(datetime), dt.get()) ||
        !copy_fields(tick.get(), snap, kTickFields))
        return nullptr;
    // Cached before the event is built: a host handling TICK finds the record.
    if (!add_to_history(nm::history_tick, code.get(), tick.get(), true)) return nullptr;
    Ref event_cls = global(nm::Event);
    if (!event_cls) return nullptr;
    Ref type = MEMBER(U, EVENT, TICK);
    if (!type) return nullptr;
    Ref tick_cls = global(nm::TickObject);
    if (!tick_cls) return nullptr;
    Ref env = global(nm::Environment);
    if (!env) return nullptr;
    Ref instance = host_method<U, call::get_instance>(env.get(), N(get_instance));
    if (!instance) return nullptr;
    Ref proxy = getattr(instance.get(), N(data_proxy));
    if (!proxy) return nullptr;
    Ref instrument = host_method<U, call::instruments>(proxy.get(), N(instruments), code.get());
    if (!instrument) return nullptr;
    Ref obj = host_call<U, call::tick_object>(tick_cls.get(), instrument.get(), tick.get());
    if (!obj || !post_timed(event_cls.get(), type.get(), nm::TICK, POSTED(U, TICK, tick), dt.get(), obj.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_tick_order(PyObject* const* argv) {
    constexpr int U = use::on_tick_order;
    PyObject* rec = argv[1];
    Ref dt = record_time<U>(rec, REC(U, order_time));
    if (!dt) return nullptr;
    Ref code = market_code_of<U>(rec);
    if (!code) return nullptr;
    Ref side = map_code<U, call::get_side_from_mach_l2_order>(rec, nm::get_side_from_mach_l2_order, REC(U, side));
    if (!side) return nullptr;
    Ref factory_cls = global(nm::L2Order);
    if (!factory_cls) return nullptr;
    common::Callee create = common::class_attr(factory_cls.get(), N(__from_create__), member);
    if (!create) return nullptr;
    Ref biz = getattr(rec, REC(U, biz_index));
    if (!biz) return nullptr;
    Ref price = getattr(rec, REC(U, order_price));
    if (!price) return nullptr;
    Ref volume = getattr(rec, REC(U, order_volume));
    if (!volume) return nullptr;
    Ref order_type = map_code<U, call::get_order_type_from_mach_l2_order>(rec, nm::get_order_type_from_mach_l2_order,
                                                                          REC(U, order_type));
    if (!order_type) return nullptr;
    Ref orig_no = getattr(rec, REC(U, orig_order_no));
    if (!orig_no) return nullptr;
    Ref kind = map_code<U, call::get_l2order_type_from_mach>(rec, nm::get_l2order_type_from_mach, REC(U, order_type));
    if (!kind) return nullptr;
    Ref l2 = host_call<U, call::l2_order_create>(create, biz.get(), code.get(), dt.get(), side.get(), price.get(),
                                                 volume.get(), order_type.get(), orig_no.get(), kind.get());
    if (!l2) return nullptr;
    Ref event_cls = global(nm::Event);
    if (!event_cls) return nullptr;
    Ref type = MEMBER(U, EVENT, L2_ORDER);
    if (!type || !post_timed(event_cls.get(), type.get(), nm::L2_ORDER, POSTED(U, L2_ORDER, l2_order), dt.get(),
                             l2.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_tick_trade(PyObject* const* argv) {
    constexpr int U = use::on_tick_trade;
    PyObject* rec = argv[1];
    Ref dt = record_time<U>(rec, REC(U, trade_time));
    if (!dt) return nullptr;
    Ref code = market_code_of<U>(rec);
    if (!code) return nullptr;
    Ref side;
    {
        Ref bid = getattr(rec, REC(U, bid_appl_seq_num));
        if (!bid) return nullptr;
        Ref offer = getattr(rec, REC(U, offer_appl_seq_num));
        if (!offer) return nullptr;
        int gt = PyObject_RichCompareBool(bid.get(), offer.get(), Py_GT);
        if (gt < 0) return nullptr;
        side = gt ? MEMBER(U, SIDE, BUY) : MEMBER(U, SIDE, SELL);
        if (!side) return nullptr;
    }
    Ref factory_cls = global(nm::L2Transaction);
    if (!factory_cls) return nullptr;
    common::Callee create = common::class_attr(factory_cls.get(), N(__from_create__), member);
    if (!create) return nullptr;
    Ref biz = getattr(rec, REC(U, biz_index));
    if (!biz) return nullptr;
    Ref price = getattr(rec, REC(U, trade_price));
    if (!price) return nullptr;
    Ref volume = getattr(rec, REC(U, trade_volume));
    if (!volume) return nullptr;
    Ref value = getattr(rec, REC(U, value_trade));
    if (!value) return nullptr;
    Ref trade_type;
    {
        Ref mapper = global(nm::get_trade_type_from_mach);
        if (!mapper) return nullptr;
        Ref text = char_of(rec, REC(U, trade_type));
        if (!text) return nullptr;
        trade_type = host_call<U, call::get_trade_type_from_mach>(mapper.get(), text.get());
        if (!trade_type) return nullptr;
    }
    Ref bid = getattr(rec, REC(U, bid_appl_seq_num));
    if (!bid) return nullptr;
    Ref offer = getattr(rec, REC(U, offer_appl_seq_num));
    if (!offer) return nullptr;
    Ref l2 = host_call<U, call::l2_transaction_create>(create, biz.get(), code.get(), dt.get(), side.get(),
                                                       price.get(), volume.get(), value.get(), trade_type.get(),
                                                       bid.get(), offer.get());
    if (!l2) return nullptr;
    Ref event_cls = global(nm::Event);
    if (!event_cls) return nullptr;
    Ref type = MEMBER(U, EVENT, L2_TRANSACTION);
    if (!type || !post_timed(event_cls.get(), type.get(), nm::L2_TRANSACTION, POSTED(U, L2_TRANSACTION, l2_transaction),
                             dt.get(), l2.get()))
        return nullptr;
    Py_RETURN_NONE;
}

namespace {

// The bar's record, stored in its history. end_time / 1000 is read once: the
// record's time, the count key and the event time all come from `quotient`.
[[nodiscard]] bool record_bar(PyObject* bar, PyObject* code, Ref& quotient) {
    Ref record = record_template(S.caches.bar_template, nm::market_code, nm::orig_time, kBarFields);
    if (!record || !put(record.get(), 0, N(market_code), code)) return false;
    {
        Ref convert = global(nm::convert_int_to_datetime);
        if (!convert) return false;
        Ref end_time = getattr(bar, REC(use::on_bar, end_time));
        if (!end_time) return false;
        quotient = Ref::steal(common::true_divide_by(end_time.get(), S.consts.thousand.get(), 1000));
        if (!quotient) return false;
        Ref orig_time = host_call<use::on_bar, call::convert_int_to_datetime>(convert.get(), quotient.get());
        if (!orig_time || !put(record.get(), 1, N(orig_time), orig_time.get())) return false;
    }
    return copy_fields(record.get(), bar, kBarFields) &&
           add_to_history(nm::history_bar, code, record.get(), false);
}

// The bar-count state: self.bar_cnt counts the bars of the end time
// self.current_trade_dt (0: none since the last BAR); the quotients are
// compared exactly. Sets both and returns the new count.
[[nodiscard]] Ref count_bar(PyObject* self, PyObject* quotient) {
    Ref count;
    {
        Ref current_dt = getattr(self, N(current_trade_dt));
        if (!current_dt) return {};
        int same;
        PyObject* c = current_dt.get();
        if (PyFloat_CheckExact(c) && PyFloat_CheckExact(quotient)) {
            // What float == int 0 and float == float give, without the calls.
            double v = PyFloat_AS_DOUBLE(c);
            same = v == 0.0 || c == quotient || v == PyFloat_AS_DOUBLE(quotient);
        } else {
            same = PyObject_RichCompareBool(c, S.consts.zero.get(), Py_EQ);
            if (same == 0) same = PyObject_RichCompareBool(c, quotient, Py_EQ);
            if (same < 0) return {};
        }
        assert(same == 0 || same == 1);
        if (same) {
            Ref cnt = getattr(self, N(bar_cnt));
            if (!cnt) return {};
            count = plus_one(cnt.get());
        } else {
            count = Ref::steal(PyLong_FromLong(1));
        }
    }
    if (!count || !set_attr(self, N(bar_cnt), count.get()) || !set_attr(self, N(current_trade_dt), quotient))
        return {};
    return count;
}

// count == the universe's size: 1 or 0, -1 on error. The universe may change
// between bars, so its size is asked every time.
[[nodiscard]] int universe_complete(PyObject* count) {
    Ref env = global(nm::Environment);
    if (!env) return -1;
    Ref instance = host_method<use::on_bar, call::get_instance>(env.get(), N(get_instance));
    if (!instance) return -1;
    Ref universe = host_method<use::on_bar, call::get_universe>(instance.get(), N(get_universe));
    if (!universe) return -1;
    Py_ssize_t size = PyObject_Size(universe.get());
    if (size < 0) return -1;
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (!overflow) return n == (long long)size;
    }
    Ref size_obj = Ref::steal(PyLong_FromSsize_t(size));
    if (!size_obj) return -1;
    return PyObject_RichCompareBool(count, size_obj.get(), Py_EQ);
}

// BAR for the whole date of the quotient, then the count starts again.
[[nodiscard]] bool post_bar(PyObject* self, PyObject* quotient) {
    Ref whole = global(nm::convert_int_to_whole_date);
    if (!whole) return false;
    Ref truncated = Ref::steal(PyNumber_Long(quotient));
    if (!truncated) return false;
    Ref calendar_dt = host_call<use::on_bar, call::convert_int_to_whole_date>(whole.get(), truncated.get());
    if (!calendar_dt) return false;
    Ref event_cls = global(nm::Event);
    if (!event_cls) return false;
    constexpr int U = use::on_bar;
    Ref type = MEMBER(U, EVENT, BAR);
    return type && post_timed(event_cls.get(), type.get(), nm::BAR, POSTED(U, BAR, day), calendar_dt.get(), nullptr) &&
           set_attr(self, N(bar_cnt), S.consts.zero.get());
}

}  // namespace

PyObject* on_bar(PyObject* const* argv) {
    PyObject* self = argv[0];
    PyObject* bar = argv[1];
    Ref code = market_code_of<use::on_bar>(bar);
    if (!code) return nullptr;
    Ref quotient;
    if (!record_bar(bar, code.get(), quotient)) return nullptr;
    Ref count = count_bar(self, quotient.get());
    if (!count) return nullptr;
    int complete = universe_complete(count.get());
    if (complete < 0) return nullptr;
    if (complete && !post_bar(self, quotient.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace maviro

// Account and order synchronisation: login, asset and position queries,
// order reports, trade reports and order-action errors.
//
// Each gateway attribute is read once, in the order of its first use, and that
// value serves every later use (log line, book lookup, branch, figures).
#include "maviro.hpp"

#include <cassert>
#include <initializer_list>
#include <iterator>
#include <utility>

namespace maviro {

namespace {

// Success of a gateway answer: numeric equality with 0, so 0.0 counts too.
// -1 on error.
int is_zero(PyObject* code) { return PyObject_RichCompareBool(code, S.consts.zero.get(), Py_EQ); }

[[nodiscard]] Ref deep_copy(PyObject* obj) {
    Ref copy = global(nm::copy);
    if (!copy) return {};
    return deep_copy_with(copy.get(), obj);
}

// Event(EVENT.<Kind>, account=..., [trade=...,] order=copy.deepcopy(host)) onto
// the queue, the keywords those of kw::Kw (trade or order); the copy is taken
// now, so later changes to the live order do not reach queued events.
template <int Use, int Kind, int Kw>
[[nodiscard]] bool post_order_event(PyObject* account, PyObject* host, PyObject* trade = nullptr) {
    static_assert(Kw == kw::trade || Kw == kw::order);
    Ref event_cls = global(nm::Event);
    if (!event_cls) return false;
    Ref type = use_member<Use, nm::EVENT, Kind>();
    if (!type) return false;
    Ref dup = deep_copy(host);
    if (!dup) return false;
    PyObject* kwnames = use_kwnames<Use, Kind, Kw>();
    Ref event = Kw == kw::trade ? common::call_kw(event_cls.get(), kwnames, type.get(), account, trade, dup.get())
                                : common::call_kw(event_cls.get(), kwnames, type.get(), account, dup.get());
    return event && post(event.get(), Kind);
}

// Environment.get_instance().get_account(host.market_code)
template <int Use>
[[nodiscard]] Ref account_of(PyObject* host) {
    Ref env_cls = global(nm::Environment);
    if (!env_cls) return {};
    Ref env = host_method<Use, call::get_instance>(env_cls.get(), N(get_instance));
    if (!env) return {};
    Ref market_code = getattr(host, ORD(Use, market_code));
    if (!market_code) return {};
    return host_method<Use, call::get_account>(env.get(), N(get_account), market_code.get());
}

// orders_dict[client_order_id] after the membership test, as a strong reference
// (the key's __eq__ may run Python code): 1 with `entry` filled, 0 when the
// book does not hold the id, -1 on error.
[[nodiscard]] int book_entry(PyObject* client_order_id, Ref& entry) {
    Ref book = global(nm::orders_dict);
    if (!book) return -1;
    int has = PySequence_Contains(book.get(), client_order_id);
    if (has <= 0) return has;
    entry = Ref::steal(PyObject_GetItem(book.get(), client_order_id));
    return entry ? 1 : -1;
}

// The host order a gateway report is about, as book_entry(); an id the book
// does not hold is counted as an unknown order.
[[nodiscard]] int reported_order(PyObject* client_order_id, Ref& host) {
    int found = book_entry(client_order_id, host);
    if (found == 0) count_order_outcome(OrderOutcome::UnknownOrder);
    return found;
}

constexpr int U = use::on_order;

// host.status = ORDER_STATUS.<Member>
template <int Member>
[[nodiscard]] bool set_status(PyObject* host) {
    Ref value = use_member<U, nm::ORDER_STATUS, Member>();
    return value && set_attr(host, ORD_SET(U, status), value.get());
}

// 1 when `status` equals one of the ORDER_STATUS members named, 0 if none, -1 on error.
template <int... Members>
int status_in(PyObject* status) {
    static_assert((use::listed(U, use::Member, nm::ORDER_STATUS, Members) && ...),
                  "a member uses.def does not list for on_order");
    Ref enum_cls = global(nm::ORDER_STATUS);
    if (!enum_cls) return -1;
    for (int id : {Members...}) {
        Ref value = member(enum_cls.get(), S.consts.names[id]);
        if (!value) return -1;
        int eq = PyObject_RichCompareBool(status, value.get(), Py_EQ);
        if (eq != 0) return eq;
    }
    return 0;
}

// The gateway statuses on_order tells apart, in the order they are compared,
// each with its OrderStatusType member: GW(id, member).
#define GATEWAY_STATUSES(GW)                                            \
    GW(UnSend, UnSend)                                                  \
    GW(Sended, Sended)                                                  \
    GW(PartFilled, PartiallyFilled)                                     \
    GW(Filled, Filled)                                                  \
    GW(PartFilledPartCancelled, PartiallyFilledPartiallyCancelled)      \
    GW(WaitCancelled, WaitCancelled)                                    \
    GW(PartFilledWaitCancelled, PartiallyFilledWaitCancelled)           \
    GW(Cancelled, Cancelled)                                            \
    GW(Reject, Reject)

enum Gw : int {
#define GW(id, member) id,
    GATEWAY_STATUSES(GW)
#undef GW
    Other  // none of them
};

constexpr int kGatewayMembers[] = {  // nm:: ids, by Gw
#define GW(id, member) nm::member,
    GATEWAY_STATUSES(GW)
#undef GW
};
static_assert(std::size(kGatewayMembers) == Other);

constexpr bool gateway_members_listed() {
    for (int id : kGatewayMembers)
        if (!use::listed(U, use::Member, nm::OrderStatusType, id)) return false;
    return true;
}
static_assert(gateway_members_listed(), "a gateway status uses.def does not list for on_order");

#undef GATEWAY_STATUSES

// Index of the first OrderStatusType member equal to `status`; Other if none, -1 on error.
int gateway_status(PyObject* status) {
    Ref enum_cls = global(nm::OrderStatusType);
    if (!enum_cls) return -1;
    for (int i = 0; i < Other; ++i) {
        Ref value = member(enum_cls.get(), S.consts.names[kGatewayMembers[i]]);
        if (!value) return -1;
        int eq = PyObject_RichCompareBool(status, value.get(), Py_EQ);
        if (eq < 0) return -1;
        if (eq) return i;
    }
    return Other;
}

// Where the host order stands before a report applies to it.
enum Standing : int { Active, Open, Finished };

// Active, Finished (FILLED, CANCELLED or REJECTED: no report moves it on) or
// Open; -1 on error. The status read is kept in `status`.
int standing(PyObject* host, Ref& status) {
    status = getattr(host, ORD(U, status));
    if (!status) return -1;
    // ACTIVE first: reports for working orders are the common case.
    Ref active = MEMBER(U, ORDER_STATUS, ACTIVE);
    if (!active) return -1;
    int is_active = PyObject_RichCompareBool(status.get(), active.get(), Py_EQ);
    if (is_active != 0) return is_active < 0 ? -1 : Active;
    int done = status_in<nm::FILLED, nm::CANCELLED, nm::REJECTED>(status.get());
    if (done != 0) return done < 0 ? -1 : Finished;
    return Open;
}

// A number given by the trading counter: set (None and 0 are not; the test
// for null comes first, so a missing one is never compared) and above 0.
// 1, 0, or -1 on error.
int positive(PyObject* number) {
    int set = PyObject_IsTrue(number);
    if (set <= 0) return set;
    return PyObject_RichCompareBool(number, S.consts.zero.get(), Py_GT);
}

// UnSend / Sended, on an order that is not finished (those set the report
// aside before). A partially filled order takes the gateway's number and frozen
// cash but keeps its status. A report without a number leaves a number the
// order already has: brokers send the acceptance without it first and may
// deliver it after the one that carries it.
[[nodiscard]] bool accept(PyObject* report, PyObject* host, PyObject* account, int state, PyObject* status) {
    bool may_open = false;
    if (state != Active) {
        int partial = status_in<nm::PARTIALLY_FILLED>(status);
        if (partial < 0) return false;
        may_open = !partial;
    }
    Ref counter_id = getattr(report, REC(U, counter_order_id));
    if (!counter_id) return false;
    int numbered = PyObject_IsTrue(counter_id.get());
    if (numbered < 0) return false;
    bool keep = false;
    if (!numbered) {
        Ref had = Ref::steal(PyObject_GetAttr(host, ORD_SET(U, secondary_order_id)));
        if (had) {
            int kept = positive(had.get());
            if (kept < 0) return false;
            keep = kept;
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            return false;
        }
    }
    if (!keep && !set_attr(host, ORD_SET(U, secondary_order_id), counter_id.get())) return false;
    {
        Ref frozen = getattr(report, REC(U, frozen_trade_value));
        if (!frozen || !host_method<U, call::set_frozen_cash>(host, N(set_frozen_cash), frozen.get())) return false;
    }
    if (!may_open || !numbered) return true;
    int above = PyObject_RichCompareBool(counter_id.get(), S.consts.zero.get(), Py_GT);
    if (above <= 0) return above == 0;
    // Read again: set_frozen_cash is host code and may have moved the order on.
    Ref now = getattr(host, ORD(U, status));
    if (!now) return false;
    Ref active = MEMBER(U, ORDER_STATUS, ACTIVE);
    if (!active) return false;
    int inactive = PyObject_RichCompareBool(now.get(), active.get(), Py_NE);
    if (inactive <= 0) return inactive == 0;
    int settled = status_in<nm::PARTIALLY_FILLED, nm::FILLED, nm::CANCELLED, nm::REJECTED>(now.get());
    if (settled != 0) return settled > 0;
    return set_attr(host, ORD_SET(U, status), active.get()) &&
           post_order_event<U, nm::ORDER_CREATION_PASS, kw::order>(account, host);
}

// Drops the booked matches of every order that is no longer the one the book
// holds under its id, once the entries would outnumber the book's orders.
[[nodiscard]] bool make_room() {
    Ref book = global(nm::orders_dict);
    if (!book) return false;
    Py_ssize_t size = PyObject_Length(book.get());
    if (size < 0) return false;
    if (PyDict_GET_SIZE(S.books.orders.get()) < size) return true;
    // Keys first: the lookups below may run Python code.
    Ref keys = Ref::steal(PyDict_Keys(S.books.orders));
    if (!keys) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        Ref owner;
        int held = common::dict_get_item_ref(S.books.orders, key, owner.out());
        if (held < 0) return false;
        if (!held) continue;
        Ref current;
        if (book_entry(key, current) < 0) return false;
        if (current.get() == owner.get()) continue;
        for (PyObject* dict : {S.books.orders.get(), S.books.matches.get()}) {
            if (PyDict_DelItem(dict, key) == 0) continue;
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
        }
    }
    return true;
}

// Books the match that brings the order under `cid` to `trade_qty`: 1 when it
// is new (and now booked), 0 when it was booked before, -1 on error. The
// matches of an id belong to the host order they were booked for; another
// order put under the same id starts afresh.
int claim(PyObject* cid, PyObject* host, PyObject* trade_qty) {
    Ref owner;
    if (common::dict_get_item_ref(S.books.orders, cid, owner.out()) < 0) return -1;
    if (owner.get() == host) {
        Ref seen;
        int booked = common::dict_get_item_ref(S.books.matches, cid, seen.out());
        if (booked < 0) return -1;
        if (!booked) return PyDict_SetItem(S.books.matches, cid, trade_qty) < 0 ? -1 : 1;
        if (PyAnySet_CheckExact(seen.get())) {
            int known = PySet_Contains(seen.get(), trade_qty);
            if (known != 0) return known < 0 ? -1 : 0;
            return PySet_Add(seen.get(), trade_qty) < 0 ? -1 : 1;
        }
        int same = PyObject_RichCompareBool(seen.get(), trade_qty, Py_EQ);
        if (same != 0) return same < 0 ? -1 : 0;
        // A second match: from here on a set.
        Ref both = Ref::steal(PySet_New(nullptr));
        if (!both || PySet_Add(both.get(), seen.get()) < 0 || PySet_Add(both.get(), trade_qty) < 0) return -1;
        return PyDict_SetItem(S.books.matches, cid, both.get()) < 0 ? -1 : 1;
    }
    if (!owner && !make_room()) return -1;
    if (PyDict_SetItem(S.books.orders, cid, host) < 0) return -1;
    return PyDict_SetItem(S.books.matches, cid, trade_qty) < 0 ? -1 : 1;
}

// Takes a claim back when its TRADE could not be posted, so that a repeat of
// the report posts it; the error in flight is kept.
void unclaim(PyObject* cid, PyObject* trade_qty) {
    PyObject* error = common::take_exception();
    Ref seen = Ref::borrow(PyDict_GetItemWithError(S.books.matches, cid));
    if (seen && PyAnySet_CheckExact(seen.get())) {
        if (PySet_Discard(seen.get(), trade_qty) < 0) PyErr_Clear();
    } else if (seen.get() == trade_qty) {
        if (PyDict_DelItem(S.books.matches, cid) < 0) PyErr_Clear();
    }
    PyErr_Clear();
    if (error) common::restore_exception(error);
}

// Stage 1 of a fill or cancel report, for a match not booked before: it
// becomes a host trade, and the order takes the report's cumulative figures
// when they are ahead of its own (a report overtaken by a later one books its
// match but does not set the figures back). A finished order keeps its status.
[[nodiscard]] bool book_match(PyObject* report, int gw, PyObject* host, PyObject* account, PyObject* match_qty,
                              PyObject* order_qty, PyObject* trade_qty, PyObject* value, bool finished) {
    Ref trade;
    {
        Ref factory = global_attr(nm::Trade, N(__from_create__));
        if (!factory) return false;
        Ref order_id = getattr(host, ORD(U, order_id));
        if (!order_id) return false;
        Ref price = getattr(report, REC(U, last_match_price));
        if (!price) return false;
        Ref side = getattr(host, ORD(U, side));
        if (!side) return false;
        Ref effect = getattr(host, ORD(U, position_effect));
        if (!effect) return false;
        Ref market_code = getattr(host, ORD(U, market_code));
        if (!market_code) return false;
        Ref frozen_price = getattr(host, ORD(U, price));
        if (!frozen_price) return false;
        trade = host_call<U, call::trade_create>(factory.get(), order_id.get(), price.get(), match_qty, side.get(),
                                                  effect.get(), market_code.get(), frozen_price.get());
        if (!trade) return false;
    }
    int ahead;
    {
        Ref filled = getattr(host, ORD(U, filled_quantity));
        if (!filled) return false;
        ahead = PyObject_RichCompareBool(trade_qty, filled.get(), Py_GT);
        if (ahead < 0) return false;
    }
    if (ahead) {
        // A match with no cumulative quantity has no average; the order keeps
        // the one it had rather than dying half-updated on the division.
        int no_fills = is_zero(trade_qty);
        if (no_fills < 0) return false;
        if (!no_fills) {
            Ref avg = Ref::steal(PyNumber_TrueDivide(value, trade_qty));
            if (!avg || !set_attr(host, ORD_SET(U, avg_price), avg.get())) return false;
        }
        if (!set_attr(host, ORD_SET(U, filled_quantity), trade_qty)) return false;
        {
            Ref unfilled = Ref::steal(PyNumber_Subtract(order_qty, trade_qty));
            if (!unfilled || !set_attr(host, ORD_SET(U, unfilled_quantity), unfilled.get())) return false;
        }
        if (!finished) {
            if (gw == Filled && !set_status<nm::FILLED>(host)) return false;
            if (gw == PartFilled && !set_status<nm::PARTIALLY_FILLED>(host)) return false;
        }
    }
    return post_order_event<U, nm::TRADE, kw::trade>(account, host, trade.get());
}

// Stage 1 when the report carries a match: each match of an order is booked
// once, however often and in whatever order the gateway reports it.
[[nodiscard]] bool match(PyObject* report, int gw, PyObject* cid, PyObject* host, PyObject* account,
                         PyObject* match_qty, PyObject* order_qty, PyObject* trade_qty, PyObject* value,
                         bool finished, bool* taken = nullptr) {
    int matched = PyObject_RichCompareBool(match_qty, S.consts.zero.get(), Py_GT);
    if (matched <= 0) return matched == 0;
    int fresh = claim(cid, host, trade_qty);
    if (fresh < 0) return false;
    if (taken) *taken = true;
    if (!fresh) {  // duplicate match: booked before, nothing to do
        count_order_outcome(OrderOutcome::DuplicateMatch);
        return true;
    }
    if (book_match(report, gw, host, account, match_qty, order_qty, trade_qty, value, finished)) return true;
    unclaim(cid, trade_qty);
    return false;
}

// Stage 2: the cancellation side of the report, after any match.
[[nodiscard]] bool cancellation(int gw, PyObject* host, PyObject* account) {
    if (gw == PartFilledPartCancelled || gw == Cancelled) {
        return set_status<nm::CANCELLED>(host) &&
               post_order_event<U, nm::ORDER_CANCELLATION_PASS, kw::order>(account, host);
    }
    if (gw == WaitCancelled || gw == PartFilledWaitCancelled) {
        Ref filled = getattr(host, ORD(U, filled_quantity));
        if (!filled) return false;
        int some = PyObject_RichCompareBool(filled.get(), S.consts.zero.get(), Py_GT);
        if (some < 0 || (some && !set_status<nm::PARTIALLY_FILLED>(host))) return false;
        return post_order_event<U, nm::ORDER_PENDING_CANCEL, kw::order>(account, host);
    }
    return true;
}

[[nodiscard]] bool reject(PyObject* report, PyObject* host, PyObject* account, PyObject* error_msg) {
    {
        Ref code = getattr(report, REC(U, error_code));
        if (!code) return false;
        Ref code_text = Ref::steal(PyObject_Str(code.get()));
        if (!code_text) return false;
        Ref head = Ref::steal(PyUnicode_Concat(code_text.get(), TX(underscore)));
        if (!head) return false;
        // str + error_msg with the operator's rules: a non-text message is a
        // TypeError unless its own __radd__ takes it.
        Ref reason = Ref::steal(PyNumber_Add(head.get(), error_msg));
        if (!reason || !host_method<U, call::mark_rejected>(host, N(mark_rejected), reason.get())) return false;
    }
    Ref frozen = getattr(report, REC(U, frozen_trade_value));
    if (!frozen || !host_method<U, call::set_frozen_cash>(host, N(set_frozen_cash), frozen.get())) return false;
    return post_order_event<U, nm::ORDER_UNSOLICITED_UPDATE, kw::order>(account, host);
}

// security_id + "." + get_exchane_from_mach_mdtype(market_id), then the position
// with its state. Empty Ref with the error set when any step fails.
[[nodiscard]] Ref to_position(PyObject* record) {
    constexpr int P = use::position_record;
    Ref market_code;
    {
        Ref security_id = getattr(record, REC(P, security_id));
        if (!security_id) return {};
        Ref head = Ref::steal(PyNumber_Add(security_id.get(), TX(dot)));
        if (!head) return {};
        Ref mapper = global(nm::get_exchane_from_mach_mdtype);
        if (!mapper) return {};
        Ref market_id = getattr(record, REC(P, market_id));
        if (!market_id) return {};
        Ref suffix = host_call<P, call::get_exchane_from_mach_mdtype>(mapper.get(), market_id.get());
        if (!suffix) return {};
        market_code = Ref::steal(PyNumber_Add(head.get(), suffix.get()));
        if (!market_code) return {};
    }
    Ref position;
    {
        Ref cls = global(nm::Position);
        if (!cls) return {};
        Ref direction = MEMBER(P, POSITION_DIRECTION, LONG);
        if (!direction) return {};
        Ref init_qty = getattr(record, REC(P, init_qty));
        if (!init_qty) return {};
        position = host_call<P, call::position>(cls.get(), market_code.get(), direction.get(), init_qty.get());
        if (!position) return {};
    }
    Ref state = Ref::steal(PyDict_New());
    if (!state) return {};
    const std::pair<PyObject*, PyObject*> keys[] = {
        {N(quantity), REC(P, leaves_qty)},        {N(available_qty), REC(P, available_qty)},
        {N(avg_price), REC(P, cost_price)},       {N(last_price), REC(P, last_price)},
        {N(market_value), REC(P, market_value)}, {N(daily_pnl), REC(P, profit_loss)},
    };
    for (const auto& [key, attr] : keys) {
        Ref value = getattr(record, attr);
        if (!value || PyDict_SetItem(state.get(), key, value.get()) < 0) return {};
    }
    if (!host_method<P, call::set_state>(position.get(), N(set_state), state.get())) return {};
    return position;
}

// The except clause for one skipped record. The caught error is the handled
// exception while the warning is built, as in Python: a fresh error raised there
// (security_id itself unreadable, say) chains to it and leaves the callback.
[[nodiscard]] bool warn_skipped(PyObject* record) {
    Ref error = Ref::steal(common::take_exception());
    PyObject *outer_type, *outer_value, *outer_trace;
    PyErr_GetExcInfo(&outer_type, &outer_value, &outer_trace);
    // PyErr_SetExcInfo steals all three.
    PyErr_SetExcInfo(common::new_ref((PyObject*)Py_TYPE(error.get())), common::new_ref(error.get()),
                     PyException_GetTraceback(error.get()));

    bool ok = false;
    {
        Line<lg::position_skipped> line;
        Ref security_id;
        constexpr int Q = use::on_query_position;
        ok = line.to(nm::user_system_log) && line.field(record, REC(Q, security_id), security_id) &&
             line.str(error.get()) && line.emit<Q, call::warning>(N(warning));
    }
    PyErr_SetExcInfo(outer_type, outer_value, outer_trace);
    return ok;
}

}  // namespace

PyObject* on_login(PyObject* const* argv) {
    constexpr int L = use::on_login;
    PyObject* self = argv[0];
    PyObject* res = argv[1];
    Ref account_id, code;
    {
        Line<lg::login> line;
        if (!line.to(nm::system_log) || !line.field(res, REC(L, fund_account_id), account_id) ||
            !line.field(res, REC(L, error_code), code) || !line.emit<L, call::info>(N(info)))
            return nullptr;
    }
    {
        Ref event_cls = global(nm::Event);
        if (!event_cls) return nullptr;
        Ref type = MEMBER(L, EVENT, LOGIN);
        if (!type) return nullptr;
        Ref rid = getattr(res, REC(L, client_seq_id));
        if (!rid) return nullptr;
        Ref msg = getattr(res, REC(L, error_msg));
        if (!msg) return nullptr;
        Ref event = common::call_kw(event_cls.get(), POSTED(L, LOGIN, login), type.get(), rid.get(), account_id.get(),
                                    code.get(), msg.get());
        if (!event || !post(event.get(), nm::LOGIN)) return nullptr;
    }
    int ok = is_zero(code.get());
    if (ok < 0) return nullptr;
    if (!ok) Py_RETURN_NONE;
    if (!set_attr(self, N(logged_in), Py_True)) return nullptr;
    {
        Ref context = getattr(self, N(context));
        if (!context || !host_method<L, call::query_asset>(context.get(), N(query_asset), account_id.get()))
            return nullptr;
    }
    Ref context = getattr(self, N(context));
    if (!context || !host_method<L, call::query_position>(context.get(), N(query_position), account_id.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_query_asset(PyObject* const* argv) {
    PyObject* res = argv[1];
    PyObject* request_id = argv[2];
    PyObject* code = argv[3];
    PyObject* msg = argv[4];
    constexpr int A = use::on_query_asset;
    Ref account_id, leaves_value;
    {
        Line<lg::query_asset> line;
        if (!line.to(nm::system_log) || !line.field(res, REC(A, fund_account_id), account_id) ||
            !line.field(res, REC(A, leaves_value), leaves_value) || !line.str(code) || !line.str(msg) ||
            !line.emit<A, call::info>(N(info)))
            return nullptr;
    }
    int ok = is_zero(code);
    if (ok < 0) return nullptr;
    Ref event_cls = global(nm::Event);
    if (!event_cls) return nullptr;
    Ref type = MEMBER(A, EVENT, QUERY_ACCOUNT);
    if (!type) return nullptr;
    Ref event;
    if (!ok) {
        // Same keywords as the login event: rid, account_id, code, msg.
        event = common::call_kw(event_cls.get(), POSTED(A, QUERY_ACCOUNT, login), type.get(), request_id,
                                account_id.get(), code, msg);
    } else {
        Ref asset;
        {
            Ref cls = global(nm::Asset);
            if (!cls) return nullptr;
            Ref available = getattr(res, REC(A, available_t1));
            if (!available) return nullptr;
            Ref frozen = getattr(res, REC(A, frozen_all));
            if (!frozen) return nullptr;
            Ref market_value = getattr(res, REC(A, market_value));
            if (!market_value) return nullptr;
            Ref total = getattr(res, REC(A, total_asset));
            if (!total) return nullptr;
            Ref init_leaves = getattr(res, REC(A, init_leaves_value));
            if (!init_leaves) return nullptr;
            asset = host_call<A, call::asset>(cls.get(), account_id.get(), available.get(), frozen.get(),
                                              market_value.get(), total.get(), leaves_value.get(), init_leaves.get());
            if (!asset) return nullptr;
        }
        event = common::call_kw(event_cls.get(), POSTED(A, QUERY_ACCOUNT, query_ok), type.get(), request_id,
                                account_id.get(), asset.get());
    }
    if (!event || !post(event.get(), nm::QUERY_ACCOUNT)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_query_position(PyObject* const* argv) {
    Ref answer = Ref::borrow(argv[1]);
    PyObject* request_id = argv[2];
    PyObject* code = argv[3];
    PyObject* msg = argv[4];
    constexpr int Q = use::on_query_position;
    {
        Line<lg::query_position> line;
        if (!line.to(nm::system_log) || !line.str(code) || !line.str(msg) || !line.emit<Q, call::info>(N(info)))
            return nullptr;
    }
    int ok = is_zero(code);
    if (ok < 0) return nullptr;
    if (!ok) {
        Ref event_cls = global(nm::Event);
        if (!event_cls) return nullptr;
        Ref type = MEMBER(Q, EVENT, QUERY_ACCOUNT);
        if (!type) return nullptr;
        Ref event = common::call_kw(event_cls.get(), POSTED(Q, QUERY_ACCOUNT, query_failed), type.get(), request_id,
                                    code, msg);
        if (!event || !post(event.get(), nm::QUERY_ACCOUNT)) return nullptr;
        Py_RETURN_NONE;
    }
    PyObject* records = answer.get();
    if (!PyList_CheckExact(records) || PyList_GET_SIZE(records) == 0) Py_RETURN_NONE;

    Ref positions = Ref::steal(PyList_New(0));
    if (!positions) return nullptr;
    // Host code run per record may change the list: re-check the length each
    // time and hold each record while it is converted.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        Ref record = Ref::borrow(PyList_GET_ITEM(records, i));
        Ref position = to_position(record.get());
        if (position) {
            if (PyList_Append(positions.get(), position.get()) < 0) return nullptr;
            continue;
        }
        // Ordinary errors skip the record; KeyboardInterrupt, SystemExit and
        // the like still end the callback.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || !warn_skipped(record.get())) return nullptr;
    }
    Ref event_cls = global(nm::Event);
    if (!event_cls) return nullptr;
    Ref type = MEMBER(Q, EVENT, QUERY_POSITION);
    if (!type) return nullptr;
    Ref event =
        common::call_kw(event_cls.get(), POSTED(Q, QUERY_POSITION, positions), type.get(), request_id, positions.get());
    if (!event || !post(event.get(), nm::QUERY_POSITION)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_order(PyObject* const* argv) {
    PyObject* report = argv[1];
    Ref client_order_id, status, order_qty, trade_qty, value, error_msg, match_qty;
    {
        Line<lg::order> line;
        Ref security_id, price;
        if (!line.to(nm::system_log) || !line.field(report, REC(U, client_order_id), client_order_id) ||
            !line.field(report, REC(U, security_id), security_id) || !line.field(report, REC(U, order_price), price) ||
            !line.field(report, REC(U, order_status), status) || !line.field(report, REC(U, order_qty), order_qty) ||
            !line.field(report, REC(U, trade_qty), trade_qty) ||
            !line.field(report, REC(U, total_trade_value), value) ||
            !line.field(report, REC(U, error_msg), error_msg) ||
            !line.field(report, REC(U, last_match_qty), match_qty) || !line.emit<U, call::info>(N(info)))
            return nullptr;
    }
    Ref host;
    int found = reported_order(client_order_id.get(), host);
    if (found <= 0) return found < 0 ? nullptr : common::new_ref(Py_None);
    Ref account = account_of<U>(host.get());
    if (!account) return nullptr;
    int gw = gateway_status(status.get());
    if (gw < 0) return nullptr;
    if (gw == Other) Py_RETURN_NONE;
    Ref host_status;
    int state = standing(host.get(), host_status);
    if (state < 0) return nullptr;

    bool fill_or_cancel = gw != UnSend && gw != Sended && gw != Reject;
    bool ok = true;
    if (state == Finished) {
        // Set aside: a finished order stays finished. Only a match not booked
        // yet still becomes a TRADE, since the money did move.
        bool taken = false;
        ok = !fill_or_cancel || match(report, gw, client_order_id.get(), host.get(), account.get(), match_qty.get(),
                                      order_qty.get(), trade_qty.get(), value.get(), true, &taken);
        if (ok && !taken) count_order_outcome(OrderOutcome::SetAside);
    } else if (gw == UnSend || gw == Sended) {
        ok = accept(report, host.get(), account.get(), state, host_status.get());
    } else if (gw == Reject) {
        ok = reject(report, host.get(), account.get(), error_msg.get());
    } else {
        ok = match(report, gw, client_order_id.get(), host.get(), account.get(), match_qty.get(), order_qty.get(),
                   trade_qty.get(), value.get(), false) &&
             cancellation(gw, host.get(), account.get());
    }
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

void forget_matches() {
    PyDict_Clear(S.books.orders);
    PyDict_Clear(S.books.matches);
}

PyObject* on_trade(PyObject* const*) {
    // Host trades come from the order reports' last matches.
    Py_RETURN_NONE;
}

PyObject* on_order_action_error(PyObject* const* argv) {
    constexpr int X = use::on_order_action_error;
    Ref client_order_id = getattr(argv[1], REC(X, client_order_id));
    if (!client_order_id) return nullptr;
    Ref host;
    int found = reported_order(client_order_id.get(), host);
    if (found <= 0) return found < 0 ? nullptr : common::new_ref(Py_None);
    Ref account = account_of<X>(host.get());
    if (!account || !post_order_event<X, nm::ORDER_CANCELLATION_REJECT, kw::order>(account.get(), host.get()))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace maviro

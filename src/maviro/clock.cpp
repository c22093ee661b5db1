// Trading-day clock: the daily timer chain (create_time_listener, set_timer),
// the phase events it schedules, and the SDK's day switch.
#include "maviro.hpp"

namespace maviro {

Ref datetime_now() {
    Ref dt = global(nm::datetime);
    if (!dt) return {};
    return common::call_method(dt.get(), N(now));
}

namespace {

// self.send_day_event(EVENT.<phase>, datetime.now()): through the instance, so a
// subclass that replaces send_day_event changes every sender.
template <int Use, int Phase>
[[nodiscard]] bool send_phase(PyObject* self) {
    Ref sender = getattr(self, N(send_day_event));
    if (!sender) return false;
    Ref type = use_member<Use, nm::EVENT, Phase>();
    if (!type) return false;
    Ref now = datetime_now();
    if (!now) return false;
    return bool(common::call(sender.get(), type.get(), now.get()));
}

}  // namespace

PyObject* send_day_event(PyObject* const* argv) {
    PyObject* event_type = argv[1];
    PyObject* dt = argv[2];
    Ref event_cls = global(nm::Event);
    if (!event_cls) return nullptr;
    Ref event = host_call<use::send_day_event, call::day_event>(event_cls.get(), event_type, dt, dt);
    if (!event || !post(event.get(), event_kind(event_type))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_before_trading_event(PyObject* const* argv) {
    if (!send_phase<use::send_before_trading_event, nm::BEFORE_TRADING>(argv[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_open_auction_event(PyObject* const* argv) {
    if (!send_phase<use::send_open_auction_event, nm::OPEN_AUCTION>(argv[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_after_trading_event(PyObject* const* argv) {
    // The event is queued before the order book is emptied; a failed post leaves
    // the book as it was. The matches booked go with the orders.
    if (!send_phase<use::send_after_trading_event, nm::AFTER_TRADING>(argv[0]) || !clear_global(nm::orders_dict))
        return nullptr;
    forget_matches();
    Py_RETURN_NONE;
}

PyObject* on_switch_day(PyObject* const*) {
    for (int name : {nm::orders_dict, nm::history_bar, nm::history_tick, nm::algo_parent_orders,
                     nm::algo_child_orders, nm::algo_child_trades}) {
        if (!clear_global(name)) return nullptr;
        if (name == nm::orders_dict) forget_matches();
    }
    Py_RETURN_NONE;
}

namespace {

constexpr long kNsPerSecond = 1000000000L;

struct TimeOfDay {
    long hour, minute;
};

// The day's phase timers, all set from one reading of the clock: at `at` today
// while the time is before `until`, otherwise `late_ns` from now (or not at all
// when late_ns is 0). `callback` is the nm:: id of the method the timer calls.
struct Phase {
    int callback;
    TimeOfDay until;
    TimeOfDay at;
    long long late_ns;
};
constexpr Phase kPhases[] = {
    {nm::send_before_trading_event, {9, 0}, {9, 0}, 3LL * kNsPerSecond},
    {nm::send_open_auction_event, {9, 27}, {9, 24}, 0},
    {nm::send_after_trading_event, {15, 30}, {15, 30}, 20LL * kNsPerSecond},
};

// The daily chain re-arms at this hour tomorrow.
constexpr long kRearmHour = 8;

// time(h, m, 0) through the module's `time` binding.
[[nodiscard]] Ref time_of_day(long hour, long minute) {
    Ref time_cls = global(nm::time);
    if (!time_cls) return {};
    Ref h = Ref::steal(PyLong_FromLong(hour));
    if (!h) return {};
    Ref m = Ref::steal(PyLong_FromLong(minute));
    if (!m) return {};
    return common::call(time_cls.get(), h.get(), m.get(), S.consts.zero.get());
}

// int(delta.total_seconds() * 1000000000): the SDK takes integer nanoseconds, and
// int() truncates toward zero, so a target in the past gives a negative interval.
[[nodiscard]] Ref to_nanoseconds(PyObject* delta) {
    Ref seconds = common::call_method(delta, N(total_seconds));
    if (!seconds) return {};
    Ref billion = Ref::steal(PyLong_FromLong(kNsPerSecond));
    if (!billion) return {};
    Ref ns = Ref::steal(PyNumber_Multiply(seconds.get(), billion.get()));
    if (!ns) return {};
    return Ref::steal(PyNumber_Long(ns.get()));
}

// Interval from `now` to today's hour:minute:00.
[[nodiscard]] Ref interval_until(PyObject* now, long hour, long minute) {
    Ref dt = global(nm::datetime);
    if (!dt) return {};
    Ref day = common::call_method(now, N(date));
    if (!day) return {};
    Ref at = time_of_day(hour, minute);
    if (!at) return {};
    Ref target = common::call_method(dt.get(), N(combine), day.get(), at.get());
    if (!target) return {};
    Ref delta = Ref::steal(PyNumber_Subtract(target.get(), now));
    if (!delta) return {};
    return to_nanoseconds(delta.get());
}

// current_time < hour:minute:00; 1, 0, or -1 with the exception set.
[[nodiscard]] int earlier_than(PyObject* current_time, long hour, long minute) {
    Ref bound = time_of_day(hour, minute);
    if (!bound) return -1;
    return PyObject_RichCompareBool(current_time, bound.get(), Py_LT);
}

// self.context.add_timer_interval(interval, self.<callback>), made by the method `Use`.
template <int Use>
[[nodiscard]] bool add_timer(PyObject* self, PyObject* interval, PyObject* callback) {
    Ref context = getattr(self, N(context));
    if (!context) return false;
    Ref add = getattr(context.get(), N(add_timer_interval));
    if (!add) return false;
    Ref bound = getattr(self, callback);
    return bound && host_call<Use, call::add_timer_interval>(add.get(), interval, bound.get());
}

// One phase timer of kPhases.
[[nodiscard]] bool schedule_phase(PyObject* self, PyObject* now, PyObject* current_time, const Phase& phase) {
    int early = earlier_than(current_time, phase.until.hour, phase.until.minute);
    if (early < 0) return false;
    Ref interval;
    if (early) {
        interval = interval_until(now, phase.at.hour, phase.at.minute);
    } else {
        if (!phase.late_ns) return true;
        interval = Ref::steal(PyLong_FromLongLong(phase.late_ns));
    }
    return interval && add_timer<use::create_time_listener>(self, interval.get(), S.consts.names[phase.callback]);
}

// self.config.base.trading_calendar
[[nodiscard]] Ref trading_calendar(PyObject* self) {
    Ref config = getattr(self, N(config));
    if (!config) return {};
    Ref base = getattr(config.get(), N(base));
    if (!base) return {};
    return getattr(base.get(), N(trading_calendar));
}

}  // namespace

PyObject* create_time_listener(PyObject* const* argv) {
    PyObject* self = argv[0];
    Ref today;
    {
        Ref np = global(nm::np);
        if (!np) return nullptr;
        today = common::call_method(np.get(), N(datetime64), TX(today_arg), TX(day_unit));
        if (!today) return nullptr;
    }
    {
        Ref calendar = trading_calendar(self);
        if (!calendar) return nullptr;
        int trading = PySequence_Contains(calendar.get(), today.get());
        if (trading < 0) return nullptr;
        if (!trading) {
            Line<lg::not_trade_day> line;
            if (!line.to(nm::system_log) || !line.str(today.get())) return nullptr;
            calendar = trading_calendar(self);
            if (!calendar || !line.str(calendar.get()) || !line.emit<use::create_time_listener, call::info>(N(info)))
                return nullptr;
            Py_RETURN_NONE;
        }
    }
    Ref now = datetime_now();
    if (!now) return nullptr;
    Ref current_time = common::call_method(now.get(), N(time));
    if (!current_time) return nullptr;
    // One reading of the clock serves every phase, so they agree on the time.
    for (const Phase& phase : kPhases)
        if (!schedule_phase(self, now.get(), current_time.get(), phase)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_timer(PyObject* const* argv) {
    PyObject* self = argv[0];
    // Scheduling first: if the day's listener fails, nothing re-arms and the error
    // reaches whoever called us.
    if (!common::call_method(self, N(create_time_listener))) return nullptr;
    Ref tomorrow_8am;
    {
        Ref now = datetime_now();
        if (!now) return nullptr;
        Ref replace = getattr(now.get(), N(replace));
        if (!replace) return nullptr;
        Ref hour = Ref::steal(PyLong_FromLong(kRearmHour));
        if (!hour) return nullptr;
        PyObject* zero = S.consts.zero;
        Ref today_8am = common::call_kw(replace.get(), KW(at_8am), hour.get(), zero, zero, zero);
        if (!today_8am) return nullptr;
        Ref td = global(nm::timedelta);
        if (!td) return nullptr;
        Ref one = Ref::steal(PyLong_FromLong(1));
        if (!one) return nullptr;
        Ref one_day = common::call_kw(td.get(), KW(days), one.get());
        if (!one_day) return nullptr;
        tomorrow_8am = Ref::steal(PyNumber_Add(today_8am.get(), one_day.get()));
        if (!tomorrow_8am) return nullptr;
    }
    Ref interval;
    {
        // The clock is read again: the wait is measured from after the listener ran.
        Ref now = datetime_now();
        if (!now) return nullptr;
        Ref time_diff = Ref::steal(PyNumber_Subtract(tomorrow_8am.get(), now.get()));
        if (!time_diff) return nullptr;
        interval = to_nanoseconds(time_diff.get());
        if (!interval) return nullptr;
    }
    if (!add_timer<use::set_timer>(self, interval.get(), N(set_timer))) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace maviro

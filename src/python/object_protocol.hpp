// The object protocol shared by the detector classes, written once.
//
// A class is described by a traits type C:
//   using State = ...;                         // the detector state, a value with a `config`
//   using Config = ...;                        // its configuration record, checked by `validate()`
//   static constexpr const char* name;         // "Forest"
//   static constexpr ClassSlot slot;           // its place in the module state
//   static constexpr const char* summary;      // the class docstring between signature and parameters
//   static constexpr auto parameters;          // std::tuple of Parameter: the constructor (class_table.hpp)
//   static constexpr DefaultsStyle defaults_style;
//   static constexpr SeedParameter seed;       // when the constructor ends with `seed=None`
//   static constexpr std::size_t new_arguments;  // leading parameters `__getnewargs__` returns; 0: no such method
//   static constexpr DocumentDocs documents;   // to_json, from_json, save_json, load_json
//   static constexpr const char* doc_is_ready, doc_entries_seen, doc_memory_bytes;
//   static Result<State> from_json(std::string_view);    // parse + every load check
//   static std::span<const PyMethodDef> methods();  // the class's own methods, entries from as_method
// The core answers the rest through free functions beside State and Config,
// found by argument-dependent lookup (see core_calls): to_json, repr,
// is_ready, entries_seen, memory_bytes and memory_need; and it builds a new
// state with `State::create(config, resolved_seed)` (`create(config)` for a
// class without a seed).
//
// A class that also supplies `struct Batch` gets update_many, score_many and
// update_and_score_many, each running the per-row core over a whole batch:
//   using Columns = std::tuple<PointRows>;               // one column kind per argument (convert_rows.hpp)
//   static constexpr std::array<const char*, N> arguments;      // {"points"}
//   static constexpr std::array<const char*, N> row_arguments;  // the single call's names: {"point"}
//   static constexpr const char* rows_doc;               // what the arguments hold, for the docstrings
//   static Result<void> update(State&, Row...);          // Row... : one row of each column
//   static Result<double> score(const State&, Row...);
//   static Result<double> update_and_score(State&, Row...);
// (PointBatch, below, is the whole of it for a class whose rows are points.)
// A class whose update answers a value (Result<double>) declares
// `static constexpr bool update_answers = true;`: its update_many returns the
// answers, and it may leave out update_and_score and so update_and_score_many.
// A class whose core runs a whole batch, sharing it out among threads,
// supplies in Batch
//   static constexpr const char* threads_doc;     // what `threads` shares out
//   template <BatchCall Call, class S>
//   static Result<void> run(S&, Columns&, std::size_t rows, std::span<double> scores,
//                           std::size_t threads, std::size_t& done);
// and its batch methods take the keyword-only `threads=1`.
//
// Every method follows one order: convert the arguments, take the borrow,
// detach for the computation, re-attach, release and build the result.
// Every entry from the interpreter runs inside a guard: no C++ exception
// crosses into it.  A configuration that needs more than the machine's
// physical memory is refused when it is constructed and when it is loaded.
#pragma once

#include "args.hpp"
#include "class_table.hpp"
#include "convert.hpp"
#include "convert_rows.hpp"
#include "pyutil.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame/batch.hpp"
#include "frame/file_io.hpp"
#include "frame/memory_budget.hpp"
#include "frame/rng.hpp"

namespace morvik3::py {

// -1: one exclusive borrower, 0: free, n > 0: n shared borrowers.
class BorrowFlag {
  public:
    bool try_shared() {
        std::int64_t v = count_.load(std::memory_order_relaxed);
        do {
            if (v == -1) return false;
        } while (!count_.compare_exchange_weak(v, v + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_shared() { count_.fetch_sub(1, std::memory_order_release); }
    bool try_exclusive() {
        std::int64_t expected = 0;
        return count_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void release_exclusive() { count_.store(0, std::memory_order_release); }

  private:
    std::atomic<std::int64_t> count_{0};
};

// The configuration of a detector as its properties read it: a copy kept
// beside the state under a lock of its own, held only to copy it, so that
// the properties answer while another thread holds the borrow.
template <class Config>
class ConfigCopy {
  public:
    [[nodiscard]] std::optional<Config> get() {
        PyMutex_Lock(&lock_);
        const std::optional<Config> copy = value_;
        PyMutex_Unlock(&lock_);
        return copy;
    }
    void set(const Config& config) {
        PyMutex_Lock(&lock_);
        value_ = config;
        PyMutex_Unlock(&lock_);
    }

  private:
    PyMutex lock_{};
    std::optional<Config> value_;
};

// An instance.  One made by `__new__` alone (as unpickling makes it) holds
// no detector until `__init__` builds one or `__setstate__` loads one;
// `initialised` changes only under the exclusive borrow.
template <class C>
struct Object {
    PyObject_HEAD
    BorrowFlag borrow;
    ConfigCopy<typename C::Config> config;
    bool initialised;
    typename C::State state;
};

// Borrow guards: released on every path out of the scope.
class SharedBorrow {
  public:
    explicit SharedBorrow(BorrowFlag& f) : flag_(f), held_(f.try_shared()) {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedBorrow() {
        if (held_) flag_.release_shared();
    }
    explicit operator bool() const { return held_; }

  private:
    BorrowFlag& flag_;
    bool held_;
};

class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& f) : flag_(f), held_(f.try_exclusive()) {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveBorrow() {
        if (held_) flag_.release_exclusive();
    }
    explicit operator bool() const { return held_; }

  private:
    BorrowFlag& flag_;
    bool held_;
};

// Python values of core results.
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
inline PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py(const std::string& v) { return str_from(v); }
template <class T>
    requires std::is_floating_point_v<T>
PyObject* to_py(const std::vector<T>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(static_cast<double>(v[i]));
        if (f == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

namespace detail {

template <class T>
struct is_result : std::false_type {};
template <class T>
struct is_result<Result<T>> : std::true_type {};

// Runs `f` and catches what must not cross into the interpreter; the outcome
// is turned into Python objects only after re-attaching.
template <class F>
struct Outcome {
    using Raw = std::invoke_result_t<F>;
    std::optional<Raw> value;
    std::string internal;  // message of a broken invariant
    bool out_of_memory = false;

    void run(F& f) {
        try {
            value.emplace(f());
        } catch (const InternalError& e) {
            internal = e.what();
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    }
};

template <class Raw, class Convert>
PyObject* finish(Raw& raw, Convert& convert) {
    if constexpr (is_result<Raw>::value) {
        if (!raw) return raise(raw.error());
        if constexpr (std::is_void_v<typename Raw::value_type>) {
            return Py_NewRef(Py_None);
        } else {
            return convert(*raw);
        }
    } else {
        return convert(raw);
    }
}

// `owner` is the class of the call, whose module's internal failure a broken
// invariant raises.
template <class F, class Convert>
PyObject* compute(PyTypeObject* owner, bool detach, F& f, Convert& convert) {
    Outcome<F> out;
    if (detach) {
        Detached d;
        out.run(f);
    } else {
        out.run(f);
    }
    if (out.out_of_memory) return PyErr_NoMemory();
    if (!out.value) return raise_internal(state_of(owner), out.internal);
    return finish(*out.value, convert);
}

inline constexpr auto default_convert = [](const auto& v) { return to_py(v); };

// The module state of an entry point, from its first argument: the class
// itself for `__new__`, the module for a static method (see
// add_static_methods), else an instance of the class.
inline ModuleState* module_of(PyTypeObject* type, auto...) { return state_of(type); }
inline ModuleState* module_of(PyObject* self, auto...) {
    return PyModule_Check(self) ? state_of_module(self) : state_of(Py_TYPE(self));
}

// The guard around an entry point `Fn` from the interpreter.
template <auto Fn>
struct Entry;
template <class R, class... A, R (*Fn)(A...)>
struct Entry<Fn> {
    static R call(A... a) noexcept {
        try {
            return Fn(a...);
        } catch (...) {
            raise_current_exception(module_of(a...));
            if constexpr (std::is_same_v<R, int>) {
                return -1;
            } else {
                return nullptr;
            }
        }
    }
};

}  // namespace detail

// A method entry for a PyMethodDef: `Fn` behind the guard, cast to the slot's
// type.
template <auto Fn>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::Entry<Fn>::call));
}

// Every core offers the same free functions beside its state and configuration
// types; argument-dependent lookup finds them there, so a class names its core
// only through `State` and `Config` (the protocol's own members of these names
// would hide them inside the class).
namespace core_calls {
template <class S> std::string document(const S& s) { return to_json(s); }
template <class S> std::string text(const S& s) { return repr(s); }
template <class S> bool ready(const S& s) { return is_ready(s); }
template <class S> std::uint64_t seen(const S& s) { return entries_seen(s); }
template <class S> std::uint64_t held(const S& s) { return memory_bytes(s); }
template <class Config> ByteCount needed(const Config& c) { return memory_need(c); }
}  // namespace core_calls

template <class C>
struct Protocol {
    using State = typename C::State;
    using Config = typename C::Config;
    using Self = Object<C>;

    static Self* cast(PyObject* o) { return reinterpret_cast<Self*>(o); }

    // `__new__`: an instance holding no detector yet.  It takes and ignores
    // the constructor's arguments, so that unpickling, which calls it with
    // `__getnewargs__()` before `__setstate__`, builds nothing to throw away.
    static PyObject* tp_new(PyTypeObject* t, PyObject*, PyObject*) {
        PyObject* o = t->tp_alloc(t, 0);
        if (o == nullptr) return nullptr;
        Self* self = cast(o);
        new (&self->borrow) BorrowFlag();
        new (&self->config) ConfigCopy<Config>();
        self->initialised = false;
        new (&self->state) State();
        return o;
    }

    // A new instance owning `state`.
    static PyObject* wrap(PyTypeObject* t, State&& state) {
        PyObject* o = tp_new(t, nullptr, nullptr);
        if (o == nullptr) return nullptr;
        install(cast(o), std::move(state));
        return o;
    }

    // Gives `self` the detector `state`; the caller holds the exclusive
    // borrow, or the only reference.
    static void install(Self* self, State&& state) {
        self->state = std::move(state);
        self->config.set(self->state.config);
        self->initialised = true;
    }

    // Under a borrow: whether the instance holds a detector, raising when not.
    static bool holds_detector(Self* self) {
        if (self->initialised) return true;
        return not_initialised();
    }
    static bool not_initialised() {
        PyErr_Format(PyExc_RuntimeError, "this %s holds no detector: %s.__new__() was not followed by __init__() or "
                                         "__setstate__()", C::name, C::name);
        return false;
    }

    // `__init__`: the arguments converted in the table's order into the
    // configuration, whose other members keep their defaults, and the seed
    // last; then the seed is resolved and, for a valid configuration that
    // fits in memory, the state created.
    static int tp_init(PyObject* o, PyObject* args, PyObject* kwargs) {
        constexpr std::size_t count = table::argument_count<C>();
        static_assert(count <= Signature::max_params);
        static const Signature sig = std::apply(
            [](const auto&... p) {
                if constexpr (table::takes_seed<C>()) {
                    return Signature(sig_name("__new__"), {p.name..., "seed"}, table::required_count<C>());
                } else {
                    return Signature(sig_name("__new__"), {p.name...}, table::required_count<C>());
                }
            },
            C::parameters);
        std::array<PyObject*, count> given{};
        if (!sig.parse(args, kwargs, given.data())) return -1;
        Config config{};
        const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((given[I] == nullptr || to_value(given[I], std::get<I>(C::parameters).name,
                                                     config.*(std::get<I>(C::parameters).member))) &&
                    ...);
        }(std::make_index_sequence<table::parameter_count<C>()>{});
        if (!converted) return -1;
        if constexpr (table::takes_seed<C>()) {
            std::optional<std::uint64_t> seed;
            if (!to_seed(given[count - 1], "seed", seed)) return -1;
            const std::uint64_t resolved = resolve_seed(seed);
            return construct(o, config, [&](const Config& c) { return State::create(c, resolved); });
        } else {
            return construct(o, config, [](const Config& c) { return State::create(c); });
        }
    }

    // For a valid configuration that fits in memory, lets `create(config)`
    // build the state (a State or a Result<State>) and gives it to `o`.
    template <class Create>
    static int construct(PyObject* o, const Config& config, Create&& create) {
        if (auto valid = config.validate(); !valid) return raise(valid.error()), -1;
        if (auto fits = fits_in_memory(config); !fits) return raise(fits.error()), -1;
        auto built = create(config);
        State* state = nullptr;
        if constexpr (detail::is_result<decltype(built)>::value) {
            if (!built) return raise(built.error()), -1;
            state = &*built;
        } else {
            state = &built;
        }
        Self* self = cast(o);
        ExclusiveBorrow borrow(self->borrow);
        if (!borrow) return -1;
        install(self, std::move(*state));
        return 0;
    }

    static void dealloc(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        Self* self = cast(o);
        self->state.~State();
        self->config.~ConfigCopy<Config>();
        self->borrow.~BorrowFlag();
        t->tp_free(o);
        Py_DECREF(t);
    }

    // Shared access; `f(const State&)` runs detached.  Its result (a value
    // or a Result) goes through `convert` after re-attaching.
    template <class F, class Convert = decltype(detail::default_convert)>
    static PyObject* shared(PyObject* o, F&& f, Convert convert = detail::default_convert, bool detach = true) {
        Self* self = cast(o);
        SharedBorrow borrow(self->borrow);
        if (!borrow || !holds_detector(self)) return nullptr;
        const State& state = self->state;
        auto call = [&] { return f(state); };
        return detail::compute(Py_TYPE(o), detach, call, convert);
    }

    // Exclusive access; `f(State&)` runs detached.
    template <class F, class Convert = decltype(detail::default_convert)>
    static PyObject* exclusive(PyObject* o, F&& f, Convert convert = detail::default_convert, bool detach = true) {
        Self* self = cast(o);
        ExclusiveBorrow borrow(self->borrow);
        if (!borrow || !holds_detector(self)) return nullptr;
        State& state = self->state;
        auto call = [&] { return f(state); };
        return detail::compute(Py_TYPE(o), detach, call, convert);
    }

    // Cheap read-only accessors: shared access, attached.
    template <class F>
    static PyObject* read(PyObject* o, F&& f) {
        return shared(o, std::forward<F>(f), detail::default_convert, false);
    }

    // ---- the common methods ----

    static PyObject* is_ready(PyObject* o, PyObject*) {
        return read(o, [](const State& s) { return core_calls::ready(s); });
    }

    static PyObject* entries_seen(PyObject* o, PyObject*) {
        return read(o, [](const State& s) { return core_calls::seen(s); });
    }

    // Writing, reading and parsing documents run detached, like the cores.
    static PyObject* to_json(PyObject* o, PyObject*) {
        return shared(o, [](const State& s) { return core_calls::document(s); });
    }

    // Static methods, handed the module whose class they make (see
    // add_static_methods).
    static PyObject* from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyTypeObject* cls = class_of(module);
        if (cls == nullptr) return nullptr;
        static const Signature sig(sig_name("from_json"), {"json"}, 1);
        PyObject* a[1];
        if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
        TextArg text;
        if (!to_str_or_bytes(a[0], "json", text)) return nullptr;
        auto call = [&] { return load(text.view()); };
        auto wrap_loaded = [&](State& state) { return wrap(cls, std::move(state)); };
        return detail::compute(cls, true, call, wrap_loaded);
    }

    static PyObject* save_json(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Signature sig(sig_name("save_json"), {"path"}, 1);
        PyObject* a[1];
        if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
        std::string path;
        if (!to_path(a[0], "path", path)) return nullptr;
        return shared(o, [&](const State& s) { return write_file(path, core_calls::document(s)); });
    }

    static PyObject* load_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyTypeObject* cls = class_of(module);
        if (cls == nullptr) return nullptr;
        static const Signature sig(sig_name("load_json"), {"path"}, 1);
        PyObject* a[1];
        if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
        std::string path;
        if (!to_path(a[0], "path", path)) return nullptr;
        auto call = [&]() -> Result<State> {
            Result<std::string> text = read_file(path);
            if (!text) return std::unexpected(text.error());
            return load(*text);
        };
        auto wrap_loaded = [&](State& state) { return wrap(cls, std::move(state)); };
        return detail::compute(cls, true, call, wrap_loaded);
    }

    static PyObject* copy(PyObject* o) {
        Self* self = cast(o);
        SharedBorrow borrow(self->borrow);
        if (!borrow || !holds_detector(self)) return nullptr;
        try {
            State duplicate(self->state);
            return wrap(Py_TYPE(o), std::move(duplicate));
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }

    static PyObject* copy_method(PyObject* o, PyObject*) { return copy(o); }

    static PyObject* deepcopy(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Signature sig(sig_name("__deepcopy__"), {"memo"}, 1);
        PyObject* a[1];
        if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
        return copy(o);
    }

    static PyObject* setstate(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const Signature sig(sig_name("__setstate__"), {"state"}, 1);
        PyObject* a[1];
        if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
        TextArg text;
        if (!to_text(a[0], "state", text)) return nullptr;
        // The whole document is parsed and checked before the state changes;
        // an instance made by __new__ alone gets its detector here.
        Self* self = cast(o);
        ExclusiveBorrow borrow(self->borrow);
        if (!borrow) return nullptr;
        auto call = [&] { return load(text.view()); };
        auto take = [&](State& loaded) {
            install(self, std::move(loaded));
            return Py_NewRef(Py_None);
        };
        return detail::compute(Py_TYPE(o), true, call, take);
    }

    static PyObject* getnewargs(PyObject* o, PyObject*) {
        Self* self = cast(o);
        SharedBorrow borrow(self->borrow);
        if (!borrow || !holds_detector(self)) return nullptr;
        const Config& config = self->state.config;
        Ref arguments(PyTuple_New(C::new_arguments));
        const bool filled = arguments && [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ([&] {
                PyObject* value = to_py(config.*(std::get<I>(C::parameters).member));
                if (value != nullptr) PyTuple_SET_ITEM(arguments.get(), I, value);
                return value != nullptr;
            }() && ...);
        }(std::make_index_sequence<C::new_arguments>{});
        return filled ? arguments.release() : nullptr;
    }

    static PyObject* repr(PyObject* o) {
        // Under the borrow, like the state it describes.
        Self* self = cast(o);
        SharedBorrow borrow(self->borrow);
        if (!borrow) return nullptr;
        if (!self->initialised) return PyUnicode_FromFormat("<%s holding no detector>", C::name);
        return to_py(core_calls::text(self->state));
    }

    // Reading the pages of large tables can take a while: detached.
    static PyObject* memory_bytes(PyObject* o, PyObject*) {
        return shared(o, [](const State& s) { return core_calls::held(s); });
    }

    // From the configuration's copy, without the borrow: a configuration
    // never changes under a call, only with a whole new state.
    template <std::size_t I>
    static PyObject* property(PyObject* o, void*) {
        const std::optional<Config> config = cast(o)->config.get();
        if (!config) return not_initialised(), nullptr;
        return to_py((*config).*(std::get<I>(C::parameters).member));
    }

    // ---- batches ----

    // One batch method: convert every argument into its column of rows, then
    // run the per-row core over the rows under one borrow in one detached
    // section.  The first failing row stops the batch: the rows before it
    // keep their effect, and its error is raised with its row number.
    template <BatchCall Call>
    static PyObject* batch(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        using B = typename C::Batch;
        using Columns = typename B::Columns;
        constexpr std::size_t N = std::tuple_size_v<Columns>;
        constexpr bool threaded = batch_runs_whole();
        static const Signature sig = std::apply(
            [](auto... names) {
                if constexpr (threaded) {
                    return Signature(sig_name(batch_name<Call>()), {names..., "threads"}, N, N);
                } else {
                    return Signature(sig_name(batch_name<Call>()), {names...}, N);
                }
            },
            B::arguments);
        PyObject* a[N + 1];
        if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
        Columns columns;
        try {
            const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
                return (std::get<I>(columns).convert(a[I], B::arguments[I], B::row_arguments[I]) && ...);
            }(std::make_index_sequence<N>{});
            if (!converted) return nullptr;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        } catch (const std::length_error&) {
            return PyErr_NoMemory();
        }
        std::uint64_t threads = 1;
        if constexpr (threaded) {
            if (a[N] != nullptr && !to_u64(a[N], "threads", threads)) return nullptr;
        }
        RowColumn* failing = nullptr;
        std::size_t rows = 0;
        if (!batch_rows(columns, rows, failing)) return nullptr;

        Ref scores;
        BufferView output;
        double* target = nullptr;
        if constexpr (batch_answers<Call>()) {
            scores = Ref(new_float64_array(rows));
            if (!scores) return nullptr;
            target = open_results(output, scores.get(), rows, Py_TYPE(o));
            if (target == nullptr) return nullptr;
        }
        if (rows == 0) {
            // Nothing to compute: like a loop over no rows, no borrow is taken.
            if (failing != nullptr) {
                failing->restore_error();
                mark_row_error(0);
                return nullptr;
            }
            if constexpr (!batch_answers<Call>()) Py_RETURN_NONE;
            output.release();
            return scores.release();
        }

        Self* self = cast(o);
        using Borrow = std::conditional_t<Call == BatchCall::score, SharedBorrow, ExclusiveBorrow>;
        Borrow borrow(self->borrow);
        if (!borrow || !holds_detector(self)) return nullptr;
        std::conditional_t<Call == BatchCall::score, const State&, State&> state = self->state;
        std::size_t row = 0;
        auto work = [&]() -> Result<void> {
            if constexpr (threaded) {
                const std::span<double> scores(target, batch_answers<Call>() ? rows : 0);
                return B::template run<Call>(state, columns, rows, scores, threads_for(threads), row);
            } else {
                for (; row < rows; ++row) {
                    auto result = std::apply(
                        [&](auto&... column) { return batch_row<Call>(state, column[row]...); }, columns);
                    if (!result) return std::unexpected(std::move(result.error()));
                    if constexpr (batch_answers<Call>()) target[row] = *result;
                }
                return {};
            }
        };
        detail::Outcome<decltype(work)> out;
        {
            Detached detached;
            out.run(work);
        }
        output.release();
        if (out.out_of_memory) {
            PyErr_NoMemory();
        } else if (!out.value) {
            raise_internal(state_of(Py_TYPE(o)), out.internal);
        } else if (!*out.value) {
            raise(out.value->error());
        } else if (failing != nullptr) {
            failing->restore_error();
        } else if constexpr (!batch_answers<Call>()) {
            Py_RETURN_NONE;
        } else {
            return scores.release();
        }
        mark_row_error(row);
        return nullptr;
    }

  private:
    // Whether the batch returns one value per row.
    template <BatchCall Call>
    static constexpr bool batch_answers() {
        if constexpr (Call == BatchCall::update) {
            return requires { requires C::Batch::update_answers; };
        } else {
            return true;
        }
    }

    // Whether the core runs a whole batch, and so the methods take `threads`.
    static constexpr bool batch_runs_whole() {
        return requires { C::Batch::threads_doc; };
    }

    template <BatchCall Call>
    static constexpr const char* batch_name() {
        if constexpr (Call == BatchCall::update) return "update_many";
        if constexpr (Call == BatchCall::score) return "score_many";
        return "update_and_score_many";
    }

    template <BatchCall Call, class S, class... Row>
    static auto batch_row(S& state, const Row&... row) {
        if constexpr (Call == BatchCall::update) return C::Batch::update(state, row...);
        if constexpr (Call == BatchCall::score) return C::Batch::score(state, row...);
        if constexpr (Call == BatchCall::update_and_score) return C::Batch::update_and_score(state, row...);
    }

    // The rows every column holds, and the column whose row `rows` failed to
    // convert (the first such column, as the single call converts its
    // arguments in order); false with a ValueError naming both lengths when
    // the arguments' lengths differ.
    template <class Columns>
    static bool batch_rows(Columns& columns, std::size_t& rows, RowColumn*& failing) {
        constexpr std::size_t N = std::tuple_size_v<Columns>;
        const auto all = std::apply([](auto&... c) { return std::array<RowColumn*, N>{&c...}; }, columns);
        const auto differ = [](const char* name, const std::string& has, std::size_t other_index, std::size_t other) {
            const std::string text = std::string("argument '") + name + "' has " + has + " rows, but '" +
                                     C::Batch::arguments[other_index] + "' has " + std::to_string(other);
            PyErr_SetString(PyExc_ValueError, text.c_str());
            return false;
        };
        // Lengths known for certain: reported by len(), or counted to the end.
        std::size_t known = N;
        rows = std::numeric_limits<std::size_t>::max();
        for (std::size_t i = 0; i < N; ++i) {
            const Py_ssize_t reported = all[i]->length();
            if (reported < 0 && all[i]->failed()) continue;
            const auto length = reported >= 0 ? static_cast<std::size_t>(reported) : all[i]->size();
            if (known == N) {
                known = i;
                rows = length;
            } else if (length != rows) {
                return differ(C::Batch::arguments[i], std::to_string(length), known, rows);
            }
        }
        failing = nullptr;
        std::size_t failed_at = std::numeric_limits<std::size_t>::max();
        for (RowColumn* column : all) {
            if (column->failed() && column->size() < failed_at) {
                failed_at = column->size();
                failing = column;
            }
        }
        // An argument that failed past the end of another has more rows.
        if (failing != nullptr && known != N && failed_at > rows) {
            const auto at = static_cast<std::size_t>(std::find(all.begin(), all.end(), failing) - all.begin());
            return differ(C::Batch::arguments[at], "more than " + std::to_string(rows), known, rows);
        }
        rows = std::min(rows, failed_at);
        return true;
    }

    static const char* batch_doc(const char* method, const char* summary, const char* behaviour) {
        std::string signature = std::string(method) + "($self";
        for (const char* a : C::Batch::arguments) signature.append(", ").append(a);
        std::string text = std::string(summary) + "\n\n" + C::Batch::rows_doc + "\n\n" + behaviour;
        if constexpr (batch_runs_whole()) {
            signature += ", *, threads=1";
            text.append("\n\n").append(C::Batch::threads_doc);
        }
        signature += ")";
        return method_doc(signature.c_str(), text.c_str());
    }

  public:
    // ---- type creation ----

    // A new type object of the class, one per import of the module, kept in
    // the module's state.
    static PyObject* create_type(PyObject* module) {
        static std::vector<PyMethodDef> table = build_methods();
        static std::vector<PyGetSetDef> attributes = build_properties();
        static std::string doc = table::class_doc<C>();
        static std::string qualified = std::string("morvik3.morvik3.") + C::name;
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(&detail::Entry<tp_new>::call)},
            {Py_tp_init, reinterpret_cast<void*>(&detail::Entry<tp_init>::call)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_doc, const_cast<char*>(doc.c_str())},
            {Py_tp_methods, table.data()},
            {Py_tp_getset, attributes.data()},
            {Py_tp_repr, reinterpret_cast<void*>(&detail::Entry<repr>::call)},
            {0, nullptr},
        };
        static PyType_Spec type_spec = {
            qualified.c_str(),
            static_cast<int>(sizeof(Self)),
            0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
            slots,
        };
        Ref type(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
        if (!type || !add_static_methods(type.get(), module)) return nullptr;
        state_of_module(module)->classes[static_cast<std::size_t>(C::slot)] = Py_NewRef(type.get());
        return type.release();
    }

  private:
    // The static methods that make an instance.  METH_STATIC would hand them
    // nothing to tell which import of the module (which interpreter's) they
    // belong to, so each is a function of the module, as the module's own
    // functions are, wrapped as a static method by hand; the type is still
    // being set up, so its dictionary takes them directly.
    static bool add_static_methods(PyObject* type, PyObject* module) {
        constexpr int flags = METH_FASTCALL | METH_KEYWORDS;
        static PyMethodDef methods[] = {
            {"from_json", as_method<from_json>(), flags, method_doc("from_json(json)", C::documents.from_json)},
            {"load_json", as_method<load_json>(), flags, method_doc("load_json(path)", C::documents.load_json)},
        };
        Ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
        for (PyMethodDef& def : methods) {
            Ref function(PyCFunction_NewEx(&def, module, nullptr));
            Ref method(function ? PyStaticMethod_New(function.get()) : nullptr);
            if (!method || PyDict_SetItemString(dict.get(), def.ml_name, method.get()) < 0) return false;
        }
        PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
        return true;
    }

    // The class of this import of the module, for its static methods.
    static PyTypeObject* class_of(PyObject* module) {
        ModuleState* state = state_of_module(module);
        PyObject* cls = state != nullptr ? state->classes[static_cast<std::size_t>(C::slot)] : nullptr;
        if (cls == nullptr) PyErr_Format(PyExc_RuntimeError, "the module of %s is gone", C::name);
        return reinterpret_cast<PyTypeObject*>(cls);
    }

    static Result<void> fits_in_memory(const Config& config) { return check_fits(C::name, core_calls::needed(config)); }

    // Parses a document with the class's own checks, the memory check among
    // them, before its state is built.  Touches no Python object.
    static Result<State> load(std::string_view text) { return C::from_json(text); }

    static const char* sig_name(const char* method) {
        // Interned per (class, method) for the process lifetime; first calls
        // of different methods may race on free-threaded builds.
        static std::mutex lock;
        std::lock_guard guard(lock);
        static std::deque<std::string>* names = new std::deque<std::string>();
        names->push_back(std::string(C::name) + "." + method + "()");
        return names->back().c_str();
    }

    static const char* method_doc(const char* signature, const char* text) {
        static std::mutex lock;
        std::lock_guard guard(lock);
        static std::deque<std::string>* docs = new std::deque<std::string>();
        std::string d = std::string(signature) + "\n--\n\n" + (text ? text : "");
        docs->push_back(std::move(d));
        return docs->back().c_str();
    }

    static std::vector<PyMethodDef> build_methods() {
        std::vector<PyMethodDef> table;
        for (const PyMethodDef& m : C::methods()) table.push_back(m);
        constexpr int kw = METH_FASTCALL | METH_KEYWORDS;
        table.push_back({"is_ready", as_method<is_ready>(), METH_NOARGS, method_doc("is_ready($self)", C::doc_is_ready)});
        table.push_back({"entries_seen", as_method<entries_seen>(), METH_NOARGS,
                         method_doc("entries_seen($self)", C::doc_entries_seen)});
        table.push_back({"memory_bytes", as_method<memory_bytes>(), METH_NOARGS,
                         method_doc("memory_bytes($self)", C::doc_memory_bytes)});
        table.push_back({"to_json", as_method<to_json>(), METH_NOARGS, method_doc("to_json($self)", C::documents.to_json)});
        table.push_back(
            {"save_json", as_method<save_json>(), kw, method_doc("save_json($self, path)", C::documents.save_json)});
        table.push_back({"__copy__", as_method<copy_method>(), METH_NOARGS, method_doc("__copy__($self)", nullptr)});
        table.push_back({"__deepcopy__", as_method<deepcopy>(), kw, method_doc("__deepcopy__($self, memo)", nullptr)});
        table.push_back({"__getstate__", as_method<to_json>(), METH_NOARGS, method_doc("__getstate__($self)", nullptr)});
        table.push_back({"__setstate__", as_method<setstate>(), kw, method_doc("__setstate__($self, state)", nullptr)});
        if constexpr (C::new_arguments > 0) {
            table.push_back(
                {"__getnewargs__", as_method<getnewargs>(), METH_NOARGS, method_doc("__getnewargs__($self)", nullptr)});
        }
        if constexpr (requires { typename C::Batch; }) {
            constexpr const char* learning =
                "Rows run in order under one borrow without holding the interpreter, with\n"
                "the results of the per-row loop bit for bit. A row that fails raises the\n"
                "error the single call would, prefixed \"row N: \" and with N in its `row`\n"
                "attribute (N counting from 0); the rows before it stay learned, that row\n"
                "and the rest are not. KeyboardInterrupt, SystemExit and MemoryError are\n"
                "raised as they are.";
            constexpr const char* previewing =
                "Rows run under one borrow without holding the interpreter, with the\n"
                "results of the per-row loop bit for bit. A row that fails raises the\n"
                "error the single call would, prefixed \"row N: \" and with N in its `row`\n"
                "attribute (N counting from 0). KeyboardInterrupt, SystemExit and\n"
                "MemoryError are raised as they are.";
            table.push_back({"update_many", as_method<batch<BatchCall::update>>(), kw,
                             batch_doc("update_many",
                                       batch_answers<BatchCall::update>()
                                           ? "Ingest each row in order, as `update()` would.\n\n"
                                             "Returns a float64 numpy array with what `update()` returns per row."
                                           : "Ingest each row in order, as `update()` would; returns None.",
                                       learning)});
            table.push_back({"score_many", as_method<batch<BatchCall::score>>(), kw,
                             batch_doc("score_many",
                                       "Score each row against the current state, as `score()` would.\n\n"
                                       "Returns a float64 numpy array with one score per row.",
                                       previewing)});
            if constexpr (requires { C::Batch::update_and_score; }) {
                table.push_back({"update_and_score_many", as_method<batch<BatchCall::update_and_score>>(), kw,
                                 batch_doc("update_and_score_many",
                                           "Ingest each row in order and score it, as `update_and_score()` would.\n\n"
                                           "Returns a float64 numpy array with one score per row.",
                                           learning)});
            }
        }
        table.push_back({nullptr, nullptr, 0, nullptr});
        return table;
    }

    // No setter: assigning one raises AttributeError.
    static std::vector<PyGetSetDef> build_properties() {
        std::vector<PyGetSetDef> defs;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (
                [&] {
                    constexpr auto p = std::get<I>(C::parameters);
                    if constexpr (p.property) {
                        defs.push_back({p.name, &detail::Entry<property<I>>::call, nullptr, p.property_text(), nullptr});
                    }
                }(),
                ...);
        }(std::make_index_sequence<table::parameter_count<C>()>{});
        defs.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        return defs;
    }
};

enum class Access { shared, exclusive };

namespace detail {
template <class F>
struct converted;
template <class T>
struct converted<bool (*)(PyObject*, const char*, T&)> {
    using type = T;
};
}  // namespace detail

// A parameter of a method entry: its name and the converter of its value.
template <const char* Name, auto Convert>
struct Param {
    static constexpr const char* name = Name;
    using Value = typename detail::converted<decltype(Convert)>::type;
    static bool convert(PyObject* o, Value& out) { return Convert(o, Name, out); }
};

// Entry of a method taking the parameters `Ps`, all required: parse and
// convert each, then run `Call(state, values...)` detached under the borrow
// `A` asks for.  `ToPy`, a function from the core's result to a new
// reference, converts the result; nullptr means the plain `to_py`.
template <class C, const char* QualName, Access A, auto Call, auto ToPy, class... Ps>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig(QualName, {Ps::name...}, sizeof...(Ps));
    PyObject* a[sizeof...(Ps)];
    if (!sig.parse(args, nargs, kwnames, a)) return nullptr;
    std::tuple<typename Ps::Value...> values;
    const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (Ps::convert(a[I], std::get<I>(values)) && ...);
    }(std::index_sequence_for<Ps...>{});
    if (!converted) return nullptr;
    const auto convert = [](const auto& result) {
        if constexpr (std::is_null_pointer_v<decltype(ToPy)>) {
            return to_py(result);
        } else {
            return ToPy(result);
        }
    };
    const auto call = [&](auto& state) {
        return std::apply([&](const auto&... v) { return Call(state, v...); }, values);
    };
    if constexpr (A == Access::exclusive) {
        return Protocol<C>::exclusive(self, call, convert);
    } else {
        return Protocol<C>::shared(self, call, convert);
    }
}

// Entry of a method taking one argument.
template <class C, const char* QualName, const char* ArgName, auto Convert, Access A, auto Call>
constexpr auto unary_method = method<C, QualName, A, Call, nullptr, Param<ArgName, Convert>>;

// The batch traits of a class whose rows are points (see Protocol), and whose
// core runs a batch of them with `LearnRows` (update, update_and_score) and
// `ScoreRows`, sharing out its trees.
template <auto Update, auto Score, auto UpdateAndScore, auto LearnRows, auto ScoreRows>
struct PointBatch {
    using Columns = std::tuple<PointRows>;
    static constexpr std::array<const char*, 1> arguments = {"points"};
    static constexpr std::array<const char*, 1> row_arguments = {"point"};
    static constexpr const char* rows_doc =
        "`points` is a 2-D array of any numeric dtype, read in place through the\n"
        "buffer protocol (C- or Fortran-ordered or strided), or any iterable of point\n"
        "sequences converted as the single call converts one point.";
    static constexpr const char* threads_doc =
        "`threads` (keyword only) shares the trees out among that many threads of a\n"
        "pool the module keeps (0: one for each core the process may run on); the\n"
        "results are the same bit for bit for every value. A batch of a few rows,\n"
        "or one that finds the pool busy with another call, runs on the calling\n"
        "thread alone.";
    static constexpr auto update = Update;
    static constexpr auto score = Score;
    static constexpr auto update_and_score = UpdateAndScore;

    template <BatchCall Call, class S>
    static Result<void> run(S& state, Columns& columns, std::size_t rows, std::span<double> scores,
                            std::size_t threads, std::size_t& done) {
        PointRows& points = std::get<0>(columns);
        auto read = [&](std::size_t i) { return points[i]; };
        const BatchRows<std::span<const float>> batch{rows, read};
        if constexpr (Call == BatchCall::score) {
            return ScoreRows(state, batch, scores, threads, done);
        } else {
            return LearnRows(state, batch, scores, threads, done);
        }
    }
};

}  // namespace morvik3::py

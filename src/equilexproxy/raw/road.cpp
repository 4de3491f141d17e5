// The road of one routine call, for every routine method: the library road (a
// native call through the routine's address, or ctypes holders for any other
// callable) and the basic road through equilex.basic.
#include "road.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "context.hpp"
#include "native.hpp"

namespace raw {
namespace {

using pycore::Ref;

// ---------------------------------------------------------------------------
// Memory for one call: holders, buffers and arrays, zero-filled. Small calls
// (the common case) stay inside the object; big tables go to the heap.
class CallMemory {
  public:
    CallMemory() = default;
    CallMemory(const CallMemory&) = delete;
    CallMemory& operator=(const CallMemory&) = delete;
    ~CallMemory() {
        for (int i = 0; i < heap_count_; ++i) std::free(heap_[i]);
    }

    void* zeroed(std::size_t bytes) {
        std::size_t aligned = (used_ + 15) & ~std::size_t{15};
        if (aligned + bytes <= sizeof(inline_)) {
            void* at = inline_ + aligned;
            std::memset(at, 0, bytes);
            used_ = aligned + bytes;
            return at;
        }
        if (heap_count_ == max_arguments) return nullptr;
        void* at = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (at != nullptr) heap_[heap_count_++] = at;
        return at;
    }

    // A holder of one value, set at once. Never more than the arguments of a call.
    template <typename T>
    T* holder(T value) {
        std::size_t aligned = (used_ + 15) & ~std::size_t{15};
        if (aligned + sizeof(T) > sizeof(inline_)) return static_cast<T*>(zeroed(sizeof(T)));
        used_ = aligned + sizeof(T);
        T* at = reinterpret_cast<T*>(inline_ + aligned);
        *at = value;
        return at;
    }

  private:
    alignas(16) unsigned char inline_[768];
    std::size_t used_ = 0;
    void* heap_[max_arguments];
    int heap_count_ = 0;
};

// Where one argument's holder lives, for reading it back.
// Left unset until make_holders() fills it: a call sets up only what it uses.
struct Slot {
    void* at;
    std::size_t count;  // elements (arrays) or bytes (buffers, fields); a text's length
    std::size_t room;   // arrays: elements a foreign routine may write (at least count)
};

// Stoichiometry arrays hold room for this many components, whatever tqnosc() answered:
// the count may be stale (a listener or another thread loads another data-file, an
// override answers less), while a library writes one value per component it holds.
// No library holds more: TQCSC names the components in 30 fields, and the stand-in's
// TQSIZE reports 30.
constexpr std::int32_t component_room = 30;

// The encoded input texts of one call, alive until the call has returned.
class KeptTexts {
  public:
    KeptTexts() = default;
    KeptTexts(const KeptTexts&) = delete;
    KeptTexts& operator=(const KeptTexts&) = delete;
    ~KeptTexts() {
        for (int i = 0; i < count_; ++i) Py_DECREF(items_[i]);
    }
    // Takes the new reference; null passes through as a failure.
    PyObject* keep(Ref bytes) {
        if (!bytes) return nullptr;
        items_[count_++] = bytes.get();
        return bytes.release();
    }

  private:
    PyObject* items_[max_arguments];
    int count_ = 0;
};

// The words handed to the routine: pointers, and the lengths by value.
struct Words {
    std::uintptr_t word[2 * max_arguments];
    int count = 0;
    void pointer(const void* at) { word[count++] = reinterpret_cast<std::uintptr_t>(at); }
    void length(std::int32_t n) { word[count++] = static_cast<std::uint32_t>(n); }
};

// Routines take up to 12 words (pointers and 32-bit lengths). Each arity gets a
// call of its exact type, which keeps the callee-cleans convention of 32-bit
// Windows correct; elsewhere there is one convention.
#if defined(_WIN32) && !defined(_WIN64)
#define EQX_ROAD_STDCALL __stdcall
#else
#define EQX_ROAD_STDCALL
#endif

template <std::size_t... I>
void call_exact(void* address, const std::uintptr_t* w, std::index_sequence<I...>) {
    using Routine = void(EQX_ROAD_STDCALL*)(decltype((void)I, std::uintptr_t{})...);
    reinterpret_cast<Routine>(address)(w[I]...);
}

template <std::size_t... N>
constexpr auto make_callers(std::index_sequence<N...>) {
    using Caller = void (*)(void*, const std::uintptr_t*);
    return std::array<Caller, sizeof...(N)>{[](void* address, const std::uintptr_t* w) {
        call_exact(address, w, std::make_index_sequence<N>{});
    }...};
}

constexpr auto callers = make_callers(std::make_index_sequence<2 * max_arguments + 1>{});

// ---------------------------------------------------------------------------
// Attribute reads. Every call reads the engine's use_eqpy, lib, error_listeners and
// _check_error and the routine from lib, as the generic attribute rules would. What
// those rules ask of the class (is there a class attribute of that name, and is it a
// data descriptor) changes only when the class changes, so it is decided once per
// version of the class (CPython's type version tag) and the read itself is one
// look-up in the instance's dictionary; anything unusual takes the generic road.

bool version_is(PyTypeObject* type, unsigned int tag) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == tag;
}

struct EngineClassFacts {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    bool plain = false;            // use_eqpy, lib, error_listeners: no class attributes
    bool own_check_error = false;  // _check_error is EquilexProxy's own function
};
EngineClassFacts engine_facts;

[[gnu::noinline]] const EngineClassFacts& learn_facts(PyTypeObject* type) {
    EngineClassFacts facts;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        facts.plain = _PyType_Lookup(type, context.use_eqpy) == nullptr &&
                      _PyType_Lookup(type, context.lib) == nullptr &&
                      _PyType_Lookup(type, context.error_listeners) == nullptr;
        facts.own_check_error =
            _PyType_Lookup(type, context.check_error) == context.own_check_error;
    }
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) {
        facts.type = type;
        facts.tag = type->tp_version_tag;
    }
    engine_facts = facts;
    return engine_facts;
}

inline const EngineClassFacts& facts_of(PyTypeObject* type) {
    if (engine_facts.type == type && version_is(type, engine_facts.tag)) return engine_facts;
    return learn_facts(type);
}

inline PyObject* instance_dict(PyObject* obj) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot != nullptr && *slot != nullptr && PyDict_CheckExact(*slot) ? *slot : nullptr;
}

std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

[[gnu::noinline]] PyObject* remember(RememberedRead& memo, PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) {
        memo = {};
        return nullptr;
    }
    memo = {dict, Ref::borrow(key), version_of(dict), value};
    return value;
}

// dict[key] (borrowed; null when absent or on error, told apart by PyErr_Occurred),
// read again only when the dict has changed since the memo was made. Borrowed: a
// caller that uses the value while Python code may run holds a Ref of its own.
inline PyObject* remembered(RememberedRead& memo, PyObject* dict, PyObject* key) {
    if (memo.dict == dict && memo.key.get() == key && memo.version == version_of(dict))
        return memo.value;
    return remember(memo, dict, key);
}

// A module global as bound now, or null with NameError.
Ref remembered_global(PyObject* name, RememberedRead& memo) {
    Ref value = Ref::borrow(remembered(memo, context.globals, name));
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

// obj.<name> for an object whose class leaves the name to the instance.
inline Ref instance_attribute(PyObject* obj, PyObject* name, bool plain, RememberedRead& memo) {
    if (plain) {
        if (PyObject* dict = instance_dict(obj)) {
            if (PyObject* value = remembered(memo, dict, name)) return Ref::borrow(value);
            if (PyErr_Occurred()) return Ref();
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// The engine's instance attributes the road reads, last engine first.
struct EngineReads {
    RememberedRead use_eqpy, lib, error_listeners, check_error;
};
EngineReads engine_reads;

// The engine as the road reads it: what its class leaves to the instance, and its
// instance dict. Both are taken again after anything that may have run Python code
// (which may change the class or replace the dict): a read that was not a remembered
// one, a truth test of an odd object, setting an attribute.
class EngineView {
  public:
    explicit EngineView(PyObject* engine) : self_(engine) { look(); }

    PyObject* self() const { return self_; }
    void python_ran() { current_ = false; }

    // self.<name>, as the generic attribute rules give it.
    Ref read(PyObject* name, RememberedRead& memo) {
        if (!current_) look();
        if (plain_ && dict_ != nullptr) {
            if (memo.dict == dict_ && memo.key.get() == name && memo.version == version_of(dict_))
                return Ref::borrow(memo.value);
            current_ = false;  // comparing odd keys in the dict may run Python code
            if (PyObject* value = remember(memo, dict_, name)) return Ref::borrow(value);
            if (PyErr_Occurred()) return Ref();
        }
        current_ = false;
        return Ref::steal(PyObject_GetAttr(self_, name));
    }

    // Whether the engine's _check_error, looked up now, is the class's own (-1: error).
    int has_own_check_error() {
        if (!current_) look();
        if (!own_check_error_) return 0;
        if (dict_ == nullptr) return 1;
        RememberedRead& memo = engine_reads.check_error;
        if (memo.dict == dict_ && memo.key.get() == context.check_error &&
            memo.version == version_of(dict_))
            return memo.value == nullptr;
        current_ = false;
        PyObject* shadow = remember(memo, dict_, context.check_error);
        if (shadow == nullptr && PyErr_Occurred()) return -1;
        return shadow == nullptr;
    }

  private:
    void look() {
        const EngineClassFacts& facts = facts_of(Py_TYPE(self_));
        plain_ = facts.plain;
        own_check_error_ = facts.own_check_error;
        dict_ = plain_ || own_check_error_ ? instance_dict(self_) : nullptr;
        current_ = true;
    }

    PyObject* self_;
    PyObject* dict_ = nullptr;  // borrowed: read only while no Python code has run
    bool plain_ = false;
    bool own_check_error_ = false;
    bool current_ = false;
};

// The truth of use_eqpy; the usual values need no Python code.
int truth(PyObject* flag, EngineView& engine) {
    if (flag == Py_False || flag == Py_None) return 0;
    if (flag == Py_True) return 1;
    engine.python_ran();
    return PyObject_IsTrue(flag);
}

// The routine from the library object: what its class leaves to the instance for
// the export name is decided once per class version, then the instance's dict.
Ref fetch_export(const Routine& routine, PyObject* lib, PyObject* export_name) {
    ExportClassFacts& known = routine.export_class;
    PyTypeObject* type = Py_TYPE(lib);
    if (!(known.type == type && known.name.get() == export_name && version_is(type, known.tag))) {
        PyObject* getattribute = _PyType_Lookup(type, context.getattribute);
        bool plain = getattribute == context.object_getattribute &&
                     _PyType_Lookup(type, export_name) == nullptr;
        known.type = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type : nullptr;
        known.tag = type->tp_version_tag;
        known.name = Ref::borrow(export_name);
        known.plain = plain;
    }
    return instance_attribute(lib, export_name, known.type == type && known.plain, routine.routine);
}

// ---------------------------------------------------------------------------
// Conversions shared by both library roads.

// The holder of an `int in`: the low 32 bits of an integer, as ctypes' c_int takes it.
bool to_int32(PyObject* value, std::int32_t& out) {
    unsigned long bits = PyLong_AsUnsignedLongMask(value);
    if (bits == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
    return true;
}

bool to_double(PyObject* value, double& out) {
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

// A text's ASCII bytes. Exact texts take the fast way; anything else is asked
// for its own encode(), as the road always did.
Ref ascii_bytes(PyObject* text) {
    Ref bytes;
    if (PyUnicode_CheckExact(text)) {
        bytes = Ref::steal(PyUnicode_AsASCIIString(text));
    } else {
        bytes = Ref::steal(PyObject_CallMethod(text, "encode", "s", "ascii"));
        if (bytes && !PyBytes_Check(bytes.get())) {
            PyErr_Format(PyExc_TypeError,
                         "bytes or integer address expected instead of %s instance",
                         Py_TYPE(bytes.get())->tp_name);
            return Ref();
        }
    }
    if (bytes && PyBytes_GET_SIZE(bytes.get()) > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "text too long for the library");
        return Ref();
    }
    return bytes;
}

// An array or buffer length as ctypes would accept it for c_char * n / c_double * n.
bool array_length(PyObject* value, std::int32_t& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "array length must be an int, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "Array length must be >= 0, not %zd", n);
        return false;
    }
    if (n > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "array too large for the library");
        return false;
    }
    out = static_cast<std::int32_t>(n);
    return true;
}

RememberedRead buffer_length_read;

bool buffer_length(std::int32_t& out) {
    Ref value = remembered_global(context.string_buffer_length, buffer_length_read);
    return value && array_length(value.get(), out);
}

// Stoichiometry arrays hold one value per system component, counted anew by the
// engine's own tqnosc() (a complete routine call, recorded like any other).
bool component_count(PyObject* self, std::int32_t& out) {
    Ref count = Ref::steal(PyObject_CallMethodNoArgs(self, context.tqnosc));
    return count && array_length(count.get(), out);
}

bool is_py_space(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13) || (c >= 0x1c && c <= 0x1f);
}

// A text output: the bytes before the first NUL (all when none), strict ASCII,
// stripped of surrounding white space.
PyObject* read_text(const char* at, std::size_t size) {
    const void* nul = std::memchr(at, 0, size);
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - at) : size;
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(at[i]) > 127)  // the codec's own error, with its position
            return PyUnicode_DecodeASCII(at, static_cast<Py_ssize_t>(length), nullptr);
    std::size_t begin = 0;
    std::size_t end = length;
    while (begin < end && is_py_space(static_cast<unsigned char>(at[begin]))) ++begin;
    while (end > begin && is_py_space(static_cast<unsigned char>(at[end - 1]))) --end;
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(end - begin), 127);
    if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), at + begin, end - begin);
    return text;
}

PyObject* type_mismatch(const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
    return nullptr;
}

// Methods declared to return an int or a text test what they are about to return.
PyObject* check_declared(const Routine& routine, PyObject* result) {
    if (result == nullptr || result == Py_None) return result;
    if (routine.declared == Declared::int_ && !PyLong_CheckExact(result)) {
        Ref dropped = Ref::steal(result);
        return type_mismatch("int", result);
    }
    if (routine.declared == Declared::str && !PyUnicode_CheckExact(result)) {
        Ref dropped = Ref::steal(result);
        return type_mismatch("unicode", result);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Module raw's ctypes.

RememberedRead ctypes_read;

// A member of module raw's `ctypes` as bound now: looked up for every holder, so a
// rebinding in the middle of a call reaches the next holder.
Ref ctypes_member(const char* name) {
    Ref module = remembered_global(context.ctypes, ctypes_read);
    return module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref();
}

Ref ctypes_call(const char* name, PyObject* argument) {
    Ref member = ctypes_member(name);
    return member ? Ref::steal(PyObject_CallOneArg(member.get(), argument)) : Ref();
}

Ref ctypes_call(const char* name, Ref argument) {
    return argument ? ctypes_call(name, argument.get()) : Ref();
}

// `element` * n, instantiated: a zero-filled ctypes array.
Ref ctypes_array(const char* element, std::size_t n) {
    Ref type = ctypes_member(element);
    Ref count = Ref::steal(PyLong_FromSize_t(n));
    Ref array_type = type && count ? Ref::steal(PyNumber_Multiply(type.get(), count.get())) : Ref();
    return array_type ? Ref::steal(PyObject_CallNoArgs(array_type.get())) : Ref();
}

Ref length_of(std::size_t n) {
    return Ref::steal(PyLong_FromSize_t(n));
}

// ---------------------------------------------------------------------------
// Recording the error number.

// Sets last_error for a number above 0, then tells every listener, in order.
bool notify(EngineView& engine, PyObject* code, bool positive) {
    if (positive) {
        engine.python_ran();
        if (PyObject_SetAttr(engine.self(), context.last_error, code) < 0) return false;
    }
    Ref listeners = engine.read(context.error_listeners, engine_reads.error_listeners);
    if (!listeners) return false;
    if (PyList_CheckExact(listeners.get())) {
        // Index by index, re-reading the size, as iterating a list does: a
        // listener may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listeners.get()); ++i) {
            Ref listener = Ref::borrow(PyList_GET_ITEM(listeners.get(), i));
            Ref ignored = Ref::steal(PyObject_CallOneArg(listener.get(), code));
            if (!ignored) return false;
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(listeners.get()));
    if (!iterator) return false;
    while (Ref listener = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref ignored = Ref::steal(PyObject_CallOneArg(listener.get(), code));
        if (!ignored) return false;
    }
    return !PyErr_Occurred();
}

bool record_natively(EngineView& engine, std::int32_t number) {
    if (number == 0) return notify(engine, context.zero, false);
    Ref code = Ref::steal(PyLong_FromLong(number));
    return code && notify(engine, code.get(), number > 0);
}

// Hands the number to the engine's _check_error as found at this call: the class's
// own is done natively; anything else gets a ctypes c_int (`holder` when the call
// already made one).
bool record(PyObject* self, const Routine& routine, std::int32_t number, PyObject* holder) {
    EngineView engine(self);
    int own = engine.has_own_check_error();
    if (own < 0) return false;
    if (own) return record_natively(engine, number);
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(self, context.check_error, &found);
    Ref method = Ref::steal(found);
    if (!method) return false;
    Ref made;
    if (holder == nullptr) {
        made = ctypes_call("c_int", Ref::steal(PyLong_FromLong(number)));
        if (!made) return false;
        holder = made.get();
    }
    Ref result;
    if (unbound) {
        PyObject* args[] = {self, holder, routine.name_object};
        result = Ref::steal(PyObject_Vectorcall(method.get(), args, 3, nullptr));
    } else {
        PyObject* args[] = {holder, routine.name_object};
        result = Ref::steal(PyObject_Vectorcall(method.get(), args, 2, nullptr));
    }
    return static_cast<bool>(result);
}

// ---------------------------------------------------------------------------
// Reading the outputs.

PyObject* output_value(const Arg& arg, const Slot& slot) {
    switch (arg.kind) {
        case ArgKind::int_out:
            return PyLong_FromLong(*static_cast<std::int32_t*>(slot.at));
        case ArgKind::double_out:
            return PyFloat_FromDouble(*static_cast<double*>(slot.at));
        case ArgKind::text_out:
            return read_text(static_cast<const char*>(slot.at), slot.count);
        default:
            PyErr_SetString(PyExc_SystemError, "not a single output");
            return nullptr;
    }
}

bool same_bytes(const char* a, const char* b, std::size_t length) {
    if (length == sizeof(std::uint32_t) || length == sizeof(std::uint64_t)) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a, length);
        std::memcpy(&y, b, length);
        return x == y;
    }
    return std::memcmp(a, b, length) == 0;
}

// The only output of a routine. The same answer as last time (the same bytes: an int,
// a double's bits, a text up to its first NUL) gives the same immutable object again,
// so a value read in a loop costs no new object.
PyObject* only_output(const Routine& routine, const Arg& arg, const Slot& slot) {
    std::size_t length = arg.kind == ArgKind::int_out      ? sizeof(std::int32_t)
                         : arg.kind == ArgKind::double_out ? sizeof(double)
                                                           : slot.count;
    const char* at = static_cast<const char*>(slot.at);
    if (arg.kind == ArgKind::text_out)
        if (const void* nul = std::memchr(at, 0, length))
            length = static_cast<std::size_t>(static_cast<const char*>(nul) - at);
    LastValue& last = routine.last_value;
    if (last.value && length == last.bytes.size() && same_bytes(at, last.bytes.data(), length))
        return Py_NewRef(last.value.get());
    PyObject* value = output_value(arg, slot);
    if (value != nullptr && length <= last_value_bytes) {
        last.bytes.assign(at, length);
        last.value = Ref::borrow(value);
    }
    return value;
}

bool is_output(ArgKind kind) {
    return kind == ArgKind::int_out || kind == ArgKind::double_out || kind == ArgKind::text_out;
}

PyObject* double_tuple(const double* values, Py_ssize_t count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple.release();
}

struct Outputs {
    const Routine& routine;
    const Slot* slots;

    // The index of the n-th argument of `kind` (n from 0), or -1.
    int find(ArgKind kind, int n = 0) const {
        for (std::size_t i = 0; i < routine.args.size(); ++i)
            if (routine.args[i].kind == kind && n-- == 0) return static_cast<int>(i);
        return -1;
    }
    std::int32_t int_at(int index) const { return *static_cast<std::int32_t*>(slots[index].at); }
};

// Expression counts beyond this are no library's: refused before allocating.
constexpr std::int32_t max_plausible_expressions = 1 << 20;

PyObject* build_result(const Routine& routine, const Slot* slots) {
    Outputs out{routine, slots};
    switch (routine.result) {
        case Result::none:
            return pycore::none();
        case Result::value: {
            for (std::size_t i = 0; i < routine.args.size(); ++i)
                if (is_output(routine.args[i].kind))
                    return only_output(routine, routine.args[i], slots[i]);
            return pycore::none();
        }
        case Result::outputs: {
            Ref tuple = Ref::steal(PyTuple_New(0));
            if (!tuple) return nullptr;
            for (std::size_t i = 0; i < routine.args.size(); ++i) {
                if (!is_output(routine.args[i].kind)) continue;
                PyObject* item = output_value(routine.args[i], slots[i]);
                if (item == nullptr) return nullptr;
                Py_ssize_t size = PyTuple_GET_SIZE(tuple.get());
                PyObject* grown = tuple.release();
                if (_PyTuple_Resize(&grown, size + 1) < 0) {
                    Py_DECREF(item);
                    return nullptr;
                }
                tuple = Ref::steal(grown);
                PyTuple_SET_ITEM(tuple.get(), size, item);
            }
            return tuple.release();
        }
        case Result::truth:
            return PyBool_FromLong(out.int_at(out.find(ArgKind::int_out)) != 0);
        case Result::mass_first: {
            int array = out.find(ArgKind::doubles);
            Ref mass = Ref::steal(
                PyFloat_FromDouble(*static_cast<double*>(slots[out.find(ArgKind::double_out)].at)));
            Ref coeffs = Ref::steal(double_tuple(static_cast<double*>(slots[array].at),
                                                 static_cast<Py_ssize_t>(slots[array].count)));
            if (!mass || !coeffs) return nullptr;
            return PyTuple_Pack(2, mass.get(), coeffs.get());
        }
        case Result::counted: {
            int array = out.find(ArgKind::doubles);
            auto size = static_cast<Py_ssize_t>(slots[array].count);
            Py_ssize_t end = out.int_at(out.find(ArgKind::int_out));
            if (end < 0) end += size;  // a slice end: negative counts from the back
            if (end < 0) end = 0;
            if (end > size) end = size;
            return double_tuple(static_cast<double*>(slots[array].at), end);
        }
        case Result::field_list: {
            int text = out.find(ArgKind::fields);
            const Arg& arg = routine.args[text];
            std::int32_t count = out.int_at(out.find(ArgKind::int_out));
            Ref list = Ref::steal(PyList_New(0));
            if (!list) return nullptr;
            const char* base = static_cast<const char*>(slots[text].at);
            for (std::int32_t k = 0; k < count; ++k) {
                if (k >= arg.rows) {
                    PyErr_SetString(PyExc_IndexError, "invalid index");
                    return nullptr;
                }
                Ref field = Ref::steal(read_text(base + static_cast<std::size_t>(k) * arg.size,
                                                 static_cast<std::size_t>(arg.size)));
                if (!field || PyList_Append(list.get(), field.get()) < 0) return nullptr;
            }
            return list.release();
        }
        case Result::table: {
            int array = out.find(ArgKind::doubles);
            const auto* table = static_cast<const double*>(slots[array].at);
            const auto total = static_cast<std::int64_t>(slots[array].count);
            constexpr std::int64_t rows = 20;
            std::int32_t expressions = out.int_at(out.find(ArgKind::int_out, 0));
            std::int64_t values = out.int_at(out.find(ArgKind::int_out, 1));
            if (expressions > max_plausible_expressions) {
                PyErr_Format(PyExc_MemoryError, "the library reports %d expressions",
                             static_cast<int>(expressions));
                return nullptr;
            }
            Ref list = Ref::steal(PyList_New(expressions > 0 ? expressions : 0));
            if (!list) return nullptr;
            for (std::int32_t k = 0; k < expressions; ++k) {
                Ref row = Ref::steal(PyList_New(0));
                if (!row) return nullptr;
                // The slice k : k + 20*values : 20 of the array.
                std::int64_t stop = std::min<std::int64_t>(k + rows * values, total);
                for (std::int64_t at = k; at < stop; at += rows) {
                    Ref item = Ref::steal(PyFloat_FromDouble(table[at]));
                    if (!item || PyList_Append(row.get(), item.get()) < 0) return nullptr;
                }
                PyList_SET_ITEM(list.get(), k, row.release());
            }
            return list.release();
        }
        case Result::joined: {
            int text = out.find(ArgKind::fields);
            const Arg& arg = routine.args[text];
            Ref joined = Ref::steal(PyUnicode_FromString(""));
            const char* base = static_cast<const char*>(slots[text].at);
            for (std::int32_t k = 0; joined && k < arg.rows; ++k) {
                Ref field = Ref::steal(read_text(base + static_cast<std::size_t>(k) * arg.size,
                                                 static_cast<std::size_t>(arg.size)));
                if (!field) return nullptr;
                joined = Ref::steal(PyUnicode_Concat(joined.get(), field.get()));
            }
            return joined.release();
        }
    }
    return pycore::none();
}

// ---------------------------------------------------------------------------
// The library road.

// Makes every holder, buffer and array of the call in argument order, with the
// words the routine receives.
bool make_holders(const Routine& routine, PyObject* const* args, CallMemory& memory, Slot* slots,
                  Words& words, KeptTexts& kept) {
    PyObject* self = args[0];
    const std::size_t count = routine.args.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Arg& arg = routine.args[i];
        Slot& slot = slots[i];
        std::int32_t size = arg.size;
        switch (arg.kind) {
            case ArgKind::int_in:
            case ArgKind::int_out:
            case ArgKind::error: {
                std::int32_t value = arg.kind == ArgKind::int_out ? arg.start : 0;
                if (arg.kind == ArgKind::int_in && !to_int32(args[arg.param], value)) return false;
                std::int32_t* at = memory.holder(value);
                if (at == nullptr) return PyErr_NoMemory(), false;
                *at = value;
                slot.at = at;
                slot.count = 1;
                words.pointer(slot.at);
                break;
            }
            case ArgKind::double_in:
            case ArgKind::double_out: {
                double value = 0.0;
                if (arg.kind == ArgKind::double_in && !to_double(args[arg.param], value))
                    return false;
                double* at = memory.holder(value);
                if (at == nullptr) return PyErr_NoMemory(), false;
                *at = value;
                slot.at = at;
                slot.count = 1;
                words.pointer(slot.at);
                break;
            }
            case ArgKind::text_in: {
                PyObject* text = args[arg.param];
                PyObject* bytes = kept.keep(ascii_bytes(text));
                if (bytes == nullptr) return false;
                // len(text), never more than the bytes there are.
                Py_ssize_t length = PyBytes_GET_SIZE(bytes);
                if (!PyUnicode_CheckExact(text)) {
                    Py_ssize_t claimed = PyObject_Length(text);
                    if (claimed < 0) return false;
                    length = std::min(length, claimed);
                }
                slot.at = bytes;
                slot.count = static_cast<std::size_t>(length);
                words.pointer(PyBytes_AS_STRING(bytes));
                words.length(static_cast<std::int32_t>(length));
                break;
            }
            case ArgKind::text_out:
            case ArgKind::fields: {
                if (size == size_from_buffer_length && !buffer_length(size)) return false;
                std::size_t rows =
                    arg.kind == ArgKind::fields ? static_cast<std::size_t>(arg.rows) : 1;
                slot.count = rows * static_cast<std::size_t>(size);
                slot.at = memory.zeroed(slot.count);
                if (slot.at == nullptr) return PyErr_NoMemory(), false;
                words.pointer(slot.at);
                words.length(arg.whole_length ? static_cast<std::int32_t>(slot.count) : size);
                break;
            }
            case ArgKind::doubles:
            case ArgKind::ints: {
                slot.room = static_cast<std::size_t>(size);
                if (size == size_from_components) {
                    if (!component_count(self, size)) return false;
                    slot.room = static_cast<std::size_t>(std::max(size, component_room));
                }
                std::size_t element =
                    arg.kind == ArgKind::doubles ? sizeof(double) : sizeof(std::int32_t);
                slot.count = static_cast<std::size_t>(size);
                slot.at = memory.zeroed(slot.room * element);
                if (slot.at == nullptr) return PyErr_NoMemory(), false;
                words.pointer(slot.at);
                break;
            }
        }
    }
    return true;
}

int error_index(const Routine& routine) {
    return static_cast<int>(routine.args.size()) - 1;
}

// A ctypes function pointer: called natively through its address.
PyObject* call_native(const Routine& routine, PyObject* const* args, PyObject* function) {
    void* address = routine_address(function);
    if (address == nullptr) return nullptr;
    CallMemory memory;
    Slot slots[max_arguments];
    KeptTexts kept;
    Words words;
    if (!make_holders(routine, args, memory, slots, words, kept)) return nullptr;
    // Other Python threads run meanwhile, as they do during a ctypes call: the call
    // touches only its own memory and the texts it holds, and the library guards its
    // own state. (A function that asks for the Python API never comes here.)
    PyThreadState* thread = PyEval_SaveThread();
    callers[words.count](address, words.word);
    PyEval_RestoreThread(thread);
    std::int32_t number = *static_cast<std::int32_t*>(slots[error_index(routine)].at);
    if (!record(args[0], routine, number, nullptr)) return nullptr;
    return check_declared(routine, build_result(routine, slots));
}

// Copies what a ctypes object holds back into the call's own memory.
bool copy_back(PyObject* holder, void* at, std::size_t bytes) {
    Py_buffer view;
    if (PyObject_GetBuffer(holder, &view, PyBUF_SIMPLE) < 0) return false;
    std::memcpy(at, view.buf, std::min(bytes, static_cast<std::size_t>(view.len)));
    PyBuffer_Release(&view);
    return true;
}

// The ctypes road: the routine gets the holders ctypes itself would be given: byref()
// of c_int and c_double holders, c_char_p for texts, c_void_p addresses of string
// buffers, arrays. A foreign routine (a function pointer) gets arrays with room for
// whatever it may write; a Python callable exactly the elements asked for.
PyObject* call_with_ctypes(const Routine& routine, PyObject* const* args, PyObject* function,
                           bool foreign) {
    CallMemory memory;
    Slot slots[max_arguments];
    KeptTexts kept;
    Words words;
    if (!make_holders(routine, args, memory, slots, words, kept)) return nullptr;

    Ref holders[max_arguments];
    Ref call_args = Ref::steal(PyList_New(0));
    if (!call_args) return nullptr;
    auto append = [&](Ref item) { return item && PyList_Append(call_args.get(), item.get()) == 0; };
    auto address_of = [&](PyObject* holder) {
        return ctypes_call("c_void_p", ctypes_call("addressof", holder));
    };

    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        Slot& slot = slots[i];
        switch (arg.kind) {
            case ArgKind::int_in:
            case ArgKind::double_in:
                holders[i] = ctypes_call(arg.kind == ArgKind::int_in ? "c_int" : "c_double",
                                         args[arg.param]);
                if (!holders[i] || !append(ctypes_call("byref", holders[i].get()))) return nullptr;
                break;
            case ArgKind::int_out:
            case ArgKind::error:
                holders[i] = ctypes_call(
                    "c_int", Ref::steal(PyLong_FromLong(*static_cast<std::int32_t*>(slot.at))));
                if (!holders[i] || !append(ctypes_call("byref", holders[i].get()))) return nullptr;
                break;
            case ArgKind::double_out:
                holders[i] = ctypes_call("c_double", Ref::steal(PyFloat_FromDouble(0.0)));
                if (!holders[i] || !append(ctypes_call("byref", holders[i].get()))) return nullptr;
                break;
            case ArgKind::text_in:
                if (!append(ctypes_call("c_char_p", static_cast<PyObject*>(slot.at))) ||
                    !append(length_of(slot.count)))
                    return nullptr;
                break;
            case ArgKind::text_out:
            case ArgKind::fields:
                holders[i] = ctypes_call("create_string_buffer", length_of(slot.count));
                if (!holders[i] || !append(address_of(holders[i].get())) ||
                    !append(length_of(arg.whole_length || arg.kind == ArgKind::text_out
                                          ? slot.count
                                          : static_cast<std::size_t>(arg.size))))
                    return nullptr;
                break;
            case ArgKind::doubles:
            case ArgKind::ints:
                holders[i] = ctypes_array(arg.kind == ArgKind::doubles ? "c_double" : "c_int",
                                          foreign ? slot.room : slot.count);
                if (!holders[i] || !append(holders[i])) return nullptr;
                break;
        }
    }
    Ref arg_tuple = Ref::steal(PyList_AsTuple(call_args.get()));
    if (!arg_tuple) return nullptr;
    Ref ignored = Ref::steal(PyObject_Call(function, arg_tuple.get(), nullptr));
    if (!ignored) return nullptr;

    for (std::size_t i = 0; i < routine.args.size(); ++i) {
        const Arg& arg = routine.args[i];
        if (!holders[i] || arg.kind == ArgKind::int_in || arg.kind == ArgKind::double_in) continue;
        if (arg.kind == ArgKind::int_out || arg.kind == ArgKind::error) {
            Ref value = Ref::steal(PyObject_GetAttr(holders[i].get(), context.value));
            if (!value || !to_int32(value.get(), *static_cast<std::int32_t*>(slots[i].at)))
                return nullptr;
        } else if (arg.kind == ArgKind::double_out) {
            Ref value = Ref::steal(PyObject_GetAttr(holders[i].get(), context.value));
            if (!value || !to_double(value.get(), *static_cast<double*>(slots[i].at)))
                return nullptr;
        } else {
            std::size_t element = arg.kind == ArgKind::doubles ? sizeof(double)
                                  : arg.kind == ArgKind::ints  ? sizeof(std::int32_t)
                                                               : 1;
            if (!copy_back(holders[i].get(), slots[i].at, slots[i].count * element)) return nullptr;
        }
    }
    std::int32_t number = *static_cast<std::int32_t*>(slots[error_index(routine)].at);
    if (!record(args[0], routine, number, holders[error_index(routine)].get())) return nullptr;
    return check_declared(routine, build_result(routine, slots));
}

RememberedRead func_aliases_read;

PyObject* library_road(const Routine& routine, PyObject* const* args, EngineView& engine) {
    Ref lib = engine.read(context.lib, engine_reads.lib);
    if (!lib) return nullptr;
    Ref aliases = remembered_global(context.func_aliases, func_aliases_read);
    if (!aliases) return nullptr;
    Ref export_name;
    if (PyDict_CheckExact(aliases.get())) {
        export_name = Ref::borrow(remembered(routine.row, aliases.get(), routine.name_object));
        if (!export_name) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, routine.name_object);
            return nullptr;
        }
    } else {
        export_name = Ref::steal(PyObject_GetItem(aliases.get(), routine.name_object));
        if (!export_name) return nullptr;
    }
    Ref function = fetch_export(routine, lib.get(), export_name.get());
    if (!function) return nullptr;
    // Compared by identity only: nothing runs between the look-up and the test.
    PyObject* ctypes = remembered(ctypes_read, context.globals, context.ctypes);
    if (ctypes == nullptr && PyErr_Occurred()) return nullptr;
    switch (callee_of(ctypes, function.get())) {
        case Callee::native:
            return call_native(routine, args, function.get());
        case Callee::foreign:
            return call_with_ctypes(routine, args, function.get(), true);
        case Callee::python:
            break;
    }
    return call_with_ctypes(routine, args, function.get(), false);
}

// ---------------------------------------------------------------------------
// The basic road.

// answer[index], as subscription does it for any object.
Ref item(PyObject* answer, long index) {
    Ref key = Ref::steal(PyLong_FromLong(index));
    return key ? Ref::steal(PyObject_GetItem(answer, key.get())) : Ref();
}

PyObject* basic_road(const Routine& routine, PyObject* const* args) {
    if (routine.basic_result == BasicResult::not_called) return pycore::none();
    if (routine.print_param >= 0) {
        Ref shown = Ref::steal(PyObject_Format(args[routine.print_param], nullptr));
        if (!shown) return nullptr;
        Ref line = Ref::steal(PyUnicode_FromFormat(
            "%s = %U", routine.param_names[routine.print_param].c_str(), shown.get()));
        if (!line) return nullptr;
        Ref print = Ref::borrow(PyDict_GetItemString(PyEval_GetBuiltins(), "print"));
        if (!print) {
            PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
            return nullptr;
        }
        Ref printed = Ref::steal(PyObject_CallOneArg(print.get(), line.get()));
        if (!printed) return nullptr;
    }
    Ref eqb = global(context.eqb);
    if (!eqb) return nullptr;
    Ref function = Ref::steal(PyObject_GetAttr(eqb.get(), routine.name_object));
    if (!function) return nullptr;

    Ref converted[max_arguments];
    PyObject* call_args[max_arguments];
    std::size_t count = 0;
    for (const BasicArg& arg : routine.basic_args) {
        PyObject* value = args[arg.param];
        Ref& made = converted[count];
        switch (arg.conv) {
            case BasicConv::same:
                made = Ref::borrow(value);
                break;
            case BasicConv::minus_one:
                made = Ref::steal(PyNumber_Subtract(value, context.one));
                break;
            case BasicConv::member: {
                // eqb is looked up afresh for each member it gives.
                Ref module = global(context.eqb);
                if (!module) return nullptr;
                Ref enumeration =
                    Ref::steal(PyObject_GetAttrString(module.get(), arg.enumeration.c_str()));
                if (!enumeration) return nullptr;
                made = Ref::steal(PyObject_GetItem(enumeration.get(), value));
                break;
            }
        }
        if (!made) return nullptr;
        call_args[count] = made.get();
        ++count;
    }
    Ref answer = Ref::steal(PyObject_Vectorcall(function.get(), call_args, count, nullptr));
    if (!answer) return nullptr;

    PyObject* result = nullptr;
    switch (routine.basic_result) {
        case BasicResult::same:
            result = answer.release();
            break;
        case BasicResult::plus_one:
            result = PyNumber_Add(answer.get(), context.one);
            break;
        case BasicResult::member_name:
            result = PyObject_GetAttr(answer.get(), context.name);
            break;
        case BasicResult::second_item:
            result = item(answer.get(), 1).release();
            break;
        case BasicResult::swapped_pair: {
            Ref second = item(answer.get(), 1);
            Ref first = second ? item(answer.get(), 0) : Ref();
            result = first ? PyTuple_Pack(2, second.get(), first.get()) : nullptr;
            break;
        }
        case BasicResult::discard:
        case BasicResult::not_called:
            result = pycore::none();
            break;
    }
    return check_declared(routine, result);
}

}  // namespace

PyObject* routine_body(pycore::Function* fn, PyObject* const* args) {
    const auto& routine = *static_cast<const Routine*>(fn->data);
    EngineView engine(args[0]);
    Ref flag = engine.read(context.use_eqpy, engine_reads.use_eqpy);
    if (!flag) return nullptr;
    int basic = truth(flag.get(), engine);
    if (basic < 0) return nullptr;
    return basic ? basic_road(routine, args) : library_road(routine, args, engine);
}

bool record_error(PyObject* self, PyObject* holder) {
    Ref value = Ref::steal(PyObject_GetAttr(holder, context.value));
    if (!value) return false;
    int positive = PyObject_RichCompareBool(value.get(), context.zero, Py_GT);
    if (positive < 0) return false;
    EngineView engine(self);
    return notify(engine, value.get(), positive != 0);
}

}  // namespace raw

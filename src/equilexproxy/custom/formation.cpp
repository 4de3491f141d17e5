// The temperature at which R*T*ln(a) of a dormant phase changes sign, by false
// position with a safeguard that keeps the trial point away from the bracket's ends.
//
// All search arithmetic runs on the numpy float64 values of the work array through
// the number protocol, so a zero divisor gives inf or nan with numpy's warning,
// never an exception, and comparisons with nan are false.
#include <utility>

#include "custom.hpp"

namespace custom {
namespace {

using pycore::Ref;

// The work array: rows lower end, trial point, upper end; columns temperature and
// value. Every read takes the element from the array anew.
class Work {
  public:
    bool make() {
        Ref np = global(names.np);
        if (!np) return false;
        Ref zeros = Ref::steal(PyObject_GetAttr(np.get(), names.zeros));
        Ref float64 = zeros ? Ref::steal(PyObject_GetAttr(np.get(), names.float64)) : Ref();
        Ref shape = float64 ? Ref::steal(Py_BuildValue("(ii)", 3, 2)) : Ref();
        if (!shape) return false;
        PyObject* call[] = {shape.get(), float64.get()};
        res_ =
            Ref::steal(PyObject_Vectorcall(zeros.get(), call, 1, calculation_values.dtype_keyword));
        if (!res_) return false;
        for (int row = 0; row < 3; ++row) {
            rows_[row] = Ref::steal(PyLong_FromLong(row));
            if (!rows_[row]) return false;
            for (int column = 0; column < 2; ++column)
                if (!(keys_[row][column] = Ref::steal(Py_BuildValue("(ii)", row, column))))
                    return false;
        }
        return true;
    }

    Ref get(int row, int column) const {
        return Ref::steal(PyObject_GetItem(res_.get(), keys_[row][column].get()));
    }
    bool set(int row, int column, PyObject* value) {
        return value != nullptr &&
               PyObject_SetItem(res_.get(), keys_[row][column].get(), value) == 0;
    }
    // Temperature and value of row `from` into row `to`.
    bool copy_row(int from, int to) {
        Ref row = Ref::steal(PyObject_GetItem(res_.get(), rows_[from].get()));
        return row && PyObject_SetItem(res_.get(), rows_[to].get(), row.get()) == 0;
    }

  private:
    Ref res_;
    Ref keys_[3][2];
    Ref rows_[3];
};

enum Row { lower = 0, trial = 1, upper = 2 };
enum Column { temperature = 0, value = 1 };

using Op = PyObject* (*)(PyObject*, PyObject*);

// a <op> b, either operand possibly null after a failure.
Ref binary(Op op, PyObject* a, PyObject* b) {
    if (a == nullptr || b == nullptr) return Ref();
    return Ref::steal(op(a, b));
}

// a <op> b as a truth value: 1, 0, or -1 with an exception.
int compare(PyObject* a, PyObject* b, int op) {
    if (a == nullptr || b == nullptr) return -1;
    return PyObject_RichCompareBool(a, b, op);
}

// np.<function>(arg), np looked up now.
Ref numpy_call(PyObject* function, PyObject* arg) {
    if (arg == nullptr) return Ref();
    Ref np = global(names.np);
    Ref callable = np ? Ref::steal(PyObject_GetAttr(np.get(), function)) : Ref();
    return callable ? Ref::steal(PyObject_CallOneArg(callable.get(), arg)) : Ref();
}

// np.sign(a) == np.sign(b) as a truth value.
int same_sign(const Ref& a, const Ref& b) {
    Ref sign_a = numpy_call(names.sign, a.get());
    Ref sign_b = sign_a ? numpy_call(names.sign, b.get()) : Ref();
    if (!sign_b) return -1;
    Ref equal = Ref::steal(PyObject_RichCompare(sign_a.get(), sign_b.get(), Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// ce_activity_isothermal(engine=..., temperature=..., indexp=...), found in the
// module now.
Ref activity_at(PyObject* engine, const Ref& temperature, PyObject* indexp) {
    if (!temperature) return Ref();
    Ref function = global(names.ce_activity_isothermal);
    if (!function) return Ref();
    PyObject* call[] = {engine, temperature.get(), indexp};
    return Ref::steal(
        PyObject_Vectorcall(function.get(), call, 0, calculation_values.activity_keywords));
}

// The loop's bound as range() takes it: anything with __index__.
bool iteration_limit(Py_ssize_t& limit) {
    Ref bound = global(names.niter_max);
    Ref index = bound ? Ref::steal(PyNumber_Index(bound.get())) : Ref();
    if (!index) return false;
    limit = PyLong_AsSsize_t(index.get());
    if (limit == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        limit = Py_SIZE(index.get()) < 0 ? 0 : PY_SSIZE_T_MAX;
    }
    return true;
}

// Both ends of one sign: the temperature condition goes to the bracket's midpoint
// and the verdict is printed; no search follows.
bool same_sign_at_both_ends(PyObject* engine, const Work& work, PyObject* phase_name,
                            PyObject* unit, const char* verdict) {
    Ref t0 = work.get(lower, temperature);
    Ref t2 = work.get(upper, temperature);
    Ref sum = binary(PyNumber_Add, t0.get(), t2.get());
    Ref middle = binary(PyNumber_Multiply, calculation_values.half, sum.get());
    if (!middle ||
        !call_method(engine, names.tqsetc, names.t, names.zero, names.zero, middle.get()))
        return false;
    // The fields in the order of the line: name, the two temperatures, the unit.
    return print([&] {
        Ref name_text = format(phase_name, names.empty);
        Ref t0_text = name_text ? format(t0.get(), names.empty) : Ref();
        Ref t2_text = t0_text ? format(t2.get(), names.empty) : Ref();
        Ref unit_text = t2_text ? format(unit, names.empty) : Ref();
        if (!unit_text) return Ref();
        return Ref::steal(PyUnicode_FromFormat("Phase %U is %s both at %U and %U %U",
                                               name_text.get(), verdict, t0_text.get(),
                                               t2_text.get(), unit_text.get()));
    });
}

// One trial point of the false position: the zero of the straight line through
// the two ends, T0 + (T2 - T0) * (0 - A0) / (A2 - A0) evaluated left to right, then
// the safeguard. Gives the trial temperature and the ratio it was judged by.
bool trial_point(const Work& work, Ref& middle, Ref& ratio) {
    Ref t0 = work.get(lower, temperature);
    Ref t2 = work.get(upper, temperature);
    Ref span = binary(PyNumber_Subtract, t2.get(), t0.get());
    Ref a0 = work.get(lower, value);
    Ref rise = binary(PyNumber_Subtract, names.zero, a0.get());
    Ref step = binary(PyNumber_Multiply, span.get(), rise.get());
    Ref a2 = work.get(upper, value);
    Ref slope = binary(PyNumber_Subtract, a2.get(), a0.get());
    Ref offset = binary(PyNumber_TrueDivide, step.get(), slope.get());
    middle = binary(PyNumber_Add, t0.get(), offset.get());
    Ref above = binary(PyNumber_Subtract, t2.get(), middle.get());
    Ref below = binary(PyNumber_Subtract, middle.get(), t0.get());
    ratio = binary(PyNumber_TrueDivide, above.get(), below.get());
    // Both tests use this ratio: a trial point too close to the lower end moves
    // up, one too close to the upper end moves down.
    int near_lower = compare(ratio.get(), calculation_values.ten, Py_GT);
    if (near_lower < 0) return false;
    if (near_lower) {
        Ref rest = binary(PyNumber_Subtract, t2.get(), middle.get());
        Ref shift = binary(PyNumber_Multiply, rest.get(), calculation_values.fifth);
        middle = binary(PyNumber_Add, middle.get(), shift.get());
    }
    int near_upper = compare(ratio.get(), calculation_values.tenth, Py_LT);
    if (near_upper < 0) return false;
    if (near_upper) {
        Ref rest = binary(PyNumber_Subtract, middle.get(), t0.get());
        Ref shift = binary(PyNumber_Multiply, rest.get(), calculation_values.fifth);
        middle = binary(PyNumber_Subtract, middle.get(), shift.get());
    }
    return static_cast<bool>(middle);
}

// The two progress lines of one evaluated trial point. Each field is formatted in the
// order of its line, the unit once per temperature, as the lines' f-strings do.
bool report(const Work& work, PyObject* unit, PyObject* ratio) {
    bool printed = print([&] {
        Ref fields[7];
        for (int row : {lower, trial, upper}) {
            Ref& shown = fields[2 * row];
            if (!(shown = format(work.get(row, temperature).get(), names.fixed4)) ||
                !(fields[2 * row + 1] = format(unit, names.empty)))
                return Ref();
        }
        if (!(fields[6] = format(ratio, names.empty))) return Ref();
        return Ref::steal(PyUnicode_FromFormat(
            "search interval %U%U <> %U%U <> %U%U, ratio = %U", fields[0].get(), fields[1].get(),
            fields[2].get(), fields[3].get(), fields[4].get(), fields[5].get(), fields[6].get()));
    });
    return printed && print([&] {
               Ref fields[3];
               for (int row : {lower, trial, upper})
                   if (!(fields[row] = format(work.get(row, value).get(), names.fixed4)))
                       return Ref();
               return Ref::steal(PyUnicode_FromFormat("activity values %U <> %U <> %U",
                                                      fields[0].get(), fields[1].get(),
                                                      fields[2].get()));
           });
}

}  // namespace

PyObject* formation_binary_t(pycore::Function*, PyObject* const* args) {
    PyObject* engine = args[0];
    PyObject* indexp = args[1];
    PyObject* tlow = args[2];
    PyObject* thigh = args[3];
    PyObject* isshowcalc = args[4];

    if (!print([] { return Ref::steal(PyUnicode_FromString("FORMATION_BINARY_T")); }))
        return nullptr;
    Ref phase_name = call_method(engine, names.tqgnp, indexp);
    Ref unit = phase_name ? Ref::steal(PyObject_GetAttr(engine, names.unit_t)) : Ref();
    if (!unit) return nullptr;

    Work work;
    if (!work.make() || !work.set(lower, temperature, tlow) || !work.set(upper, temperature, thigh))
        return nullptr;
    if (!work.set(lower, value, activity_at(engine, work.get(lower, temperature), indexp).get()) ||
        !work.set(upper, value, activity_at(engine, work.get(upper, temperature), indexp).get()))
        return nullptr;

    // Strict tests against 0: an end value of exactly 0 goes on to the search.
    for (auto [op, verdict] : {std::pair{Py_LT, "unstable"}, std::pair{Py_GT, "stable"}}) {
        int at_lower = compare(work.get(lower, value).get(), names.zero, op);
        if (at_lower < 0) return nullptr;
        if (at_lower == 0) continue;
        int at_upper = compare(work.get(upper, value).get(), names.zero, op);
        if (at_upper < 0) return nullptr;
        if (at_upper == 0) continue;
        if (!same_sign_at_both_ends(engine, work, phase_name.get(), unit.get(), verdict))
            return nullptr;
        return pycore::none();
    }

    Py_ssize_t limit = 0;
    if (!iteration_limit(limit)) return nullptr;
    for (Py_ssize_t iteration = 0; iteration < limit; ++iteration) {
        Ref middle;
        Ref ratio;
        if (!trial_point(work, middle, ratio) || !work.set(trial, temperature, middle.get()))
            return nullptr;
        // Only the distance to the upper end ends the search; the trial point is
        // then not evaluated.
        Ref tolerance = global(names.tol_temperature);
        if (!tolerance) return nullptr;
        Ref t2 = work.get(upper, temperature);
        Ref t1 = work.get(trial, temperature);
        Ref distance = numpy_call(names.abs, binary(PyNumber_Subtract, t2.get(), t1.get()).get());
        int converged = compare(distance.get(), tolerance.get(), Py_LT);
        if (converged < 0) return nullptr;
        if (converged) break;

        if (!work.set(trial, value, activity_at(engine, t1, indexp).get()) ||
            !report(work, unit.get(), ratio.get()))
            return nullptr;

        // The trial point replaces the end of its own sign; a value of exactly 0
        // replaces neither, so the same point recurs.
        int replaces_upper = same_sign(work.get(trial, value), work.get(upper, value));
        if (replaces_upper < 0 || (replaces_upper && !work.copy_row(trial, upper))) return nullptr;
        int replaces_lower = same_sign(work.get(trial, value), work.get(lower, value));
        if (replaces_lower < 0 || (replaces_lower && !work.copy_row(trial, lower))) return nullptr;
    }

    Ref found = work.get(trial, temperature);
    if (!found || !call_method(engine, names.tqsetc, names.t, names.zero, names.zero, found.get()))
        return nullptr;
    int listing = PyObject_IsTrue(isshowcalc);
    if (listing < 0) return nullptr;
    Ref t0 = work.get(lower, temperature);
    Ref t2 = t0 ? work.get(upper, temperature) : Ref();
    Ref bracket = t2 ? Ref::steal(PyTuple_Pack(2, t0.get(), t2.get())) : Ref();
    if (!bracket || !call_method(engine, listing ? names.tqcel : names.tqce, names.blank,
                                 names.zero, names.zero, bracket.get()))
        return nullptr;
    return pycore::none();
}

}  // namespace custom

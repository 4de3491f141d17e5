// Phase entities: system components, excess parameters and phases, with the
// phase's navigation and interaction look-ups.
#include "context.hpp"
#include "helpers.hpp"
#include "internals.hpp"
#include "members.hpp"

namespace entities {

using pycore::Ref;

namespace {

using enum MemberKind;

// ---------------------------------------------------------------------------
// SystemComponent

// engine.tqgetr(option, indexp, index) with the phase given as an int (itself), a
// text (its index by name) or a Phase (its index).
PyObject* component_in_phase(const char* option, PyObject* self, PyObject* phase_id) {
    Ref indexp;
    int is = PyObject_IsInstance(phase_id, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (is > 0) {
        indexp = Ref::borrow(phase_id);
    } else if (is == 0 && (is = PyObject_IsInstance(
                               phase_id, reinterpret_cast<PyObject*>(&PyUnicode_Type))) > 0) {
        Ref engine = attr(self, "engine");
        indexp = engine ? call_method(engine.get(), "tqinp", phase_id) : Ref();
    } else if (is == 0) {
        Ref phase = global("Phase");
        if (!phase || (is = PyObject_IsInstance(phase_id, phase.get())) < 0) return nullptr;
        if (is == 0) {
            Ref shown = formatted(phase_id);
            if (shown)
                PyErr_Format(PyExc_Exception, "%U must be an integer, a string or a Phase object",
                             shown.get());
            return nullptr;
        }
        indexp = attr(phase_id, "index");
    }
    if (!indexp) return nullptr;
    Ref engine = attr(self, "engine");
    Ref tqgetr = engine ? attr(engine.get(), "tqgetr") : Ref();
    Ref index = tqgetr ? attr(self, "index") : Ref();
    Ref which = index ? make_str(option) : Ref();
    return which ? call(tqgetr.get(), which.get(), indexp.get(), index.get()).release() : nullptr;
}

PyObject* fraction_phase(pycore::Function*, PyObject* const* args) {
    return component_in_phase("XP", args[0], args[1]);
}

PyObject* amount_phase(pycore::Function*, PyObject* const* args) {
    return component_in_phase("AP", args[0], args[1]);
}

constexpr const char* uses_tqstsc = "uses `equilex.raw.Equilex.tqstsc` internally";

constexpr MemberRow system_component_members[] = {
    documented("can be changed; equivalent to `equilex.raw.Equilex.tqgnsc` and "
               "`equilex.raw.Equilex.tqcnsc`",
               {"name", settable, "engine.tqgnsc(index)", "", "engine.tqcnsc(index, value)"}),
    documented(uses_tqstsc, {"wmass", property, "engine.tqstsc(index)", "[0]"}),
    documented(uses_tqstsc, {"coeffs", property, "engine.tqstsc(index)", "[1]"}),
    // Results for the whole system: phase 0, the component third.
    {"pressure_total", property, "engine.tqgetr('P', 0, index)"},
    {"volume_total", property, "engine.tqgetr('VT', 0, index)"},
    {"temperature", property, "engine.tqgetr('T', 0, index)"},
    {"equilibrium_amount", property, "engine.tqgetr('A', 0, index)"},
    {"incoming_amount", property, "engine.tqgetr('IA', 0, index)"},
    {"chemical_potential", property, "engine.tqgetr('MU', 0, index)"},
    {"activity", property, "engine.tqgetr('AC', 0, index)"},
    {"fraction_system", property, "engine.tqgetr('X', 0, index)"},
    native("fraction_phase(phase_id)", method, fraction_phase),
    native("amount_phase(phase_id)", method, amount_phase),
    {"__init__(index, engine)", init, "engine, index"},
    {"__str__", text, "system component <name: {name}, wmass: {wmass}, coeffs: {coeffs}>"},
    {"__repr__", method, "self.__str__()"},
};

// ---------------------------------------------------------------------------
// ParameterG, ParameterM: one expression of an excess parameter. The setters use
// the selector of their class (13, 10), never `type`.

constexpr const char* parameter_symbols = "engine = phase.engine";

constexpr MemberRow parameter_g_members[] = {
    {"A", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][0]",
     "engine.tqcdat(13, indexx, iexpr, 1, phase.index, value)"},
    {"B", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][1]",
     "engine.tqcdat(13, indexx, iexpr, 2, phase.index, value)"},
    {"C", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][2]",
     "engine.tqcdat(13, indexx, iexpr, 3, phase.index, value)"},
    {"D", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][3]",
     "engine.tqcdat(13, indexx, iexpr, 4, phase.index, value)"},
    {"E", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][4]",
     "engine.tqcdat(13, indexx, iexpr, 5, phase.index, value)"},
    {"F", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][5]",
     "engine.tqcdat(13, indexx, iexpr, 6, phase.index, value)"},
    {"__init__(phase, indexx, iexpr=1)", init, "phase, indexx, iexpr, type = 'G'"},
    {"__str__", text, "{A:+#.8}{B:+#.8}*T{C:+#.8}*TlnT{D:+#.8}*T^2{E:+#.8}*T^3{F:+#.8}/T"},
    {"__repr__", method, "self.__str__()"},
    {"A_value", method, "ValueEx(phase, indexx, iexpr, 1, type)"},
    {"B_value", method, "ValueEx(phase, indexx, iexpr, 2, type)"},
    {"C_value", method, "ValueEx(phase, indexx, iexpr, 3, type)"},
    {"D_value", method, "ValueEx(phase, indexx, iexpr, 4, type)"},
    {"E_value", method, "ValueEx(phase, indexx, iexpr, 5, type)"},
    {"F_value", method, "ValueEx(phase, indexx, iexpr, 6, type)"},
};

constexpr MemberRow parameter_m_members[] = {
    {"__init__(phase, indexx, iexpr)", init, "phase, indexx, iexpr, type = 'M'"},
    {"tc", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][0]",
     "engine.tqcdat(10, indexx, iexpr, 1, phase.index, value)"},
    {"beta", settable, "engine.tqgpar(phase.index, type, indexx)", "[iexpr - 1][1]",
     "engine.tqcdat(10, indexx, iexpr, 2, phase.index, value)"},
    {"__str__", text, "excess Curie temperature={tc:+#.8}, excess magnetic moment={beta:+#.8}"},
    {"__repr__", method, "self.__str__()"},
};

// ---------------------------------------------------------------------------
// Phase: the members that are more than one call.

// Every species of every sublattice, sublattice 1's first: the phase-wide numbering.
PyObject* phase_species(pycore::Function*, PyObject* const* args) {
    Ref sublattices = attr(args[0], "sublattices");
    Ref iterator = sublattices ? Ref::steal(PyObject_GetIter(sublattices.get())) : Ref();
    Ref species = iterator ? Ref::steal(PyList_New(0)) : Ref();
    if (!species) return nullptr;
    while (Ref sublattice = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref more = attr(sublattice.get(), "species");
        if (!more) return nullptr;
        species = Ref::steal(PySequence_InPlaceConcat(species.get(), more.get()));
        if (!species) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : species.release();
}

// The 1-based position of the first entry of `sequence` equal to `item`, or `absent`.
PyObject* first_position(PyObject* sequence, PyObject* item, long absent) {
    Py_ssize_t count = PySequence_Size(sequence);
    if (count < 0) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref entry = Ref::steal(PySequence_GetItem(sequence, k));
        if (!entry) return nullptr;
        int same = equal(entry.get(), item);
        if (same < 0) return nullptr;
        if (same) return PyLong_FromSsize_t(k + 1);
    }
    return PyLong_FromLong(absent);
}

// engine.tqlpar(index, kind)
Ref interaction_list(PyObject* phase, PyObject* kind) {
    Ref engine = attr(phase, "engine");
    Ref tqlpar = engine ? attr(engine.get(), "tqlpar") : Ref();
    Ref index = tqlpar ? attr(phase, "index") : Ref();
    return index ? call(tqlpar.get(), index.get(), kind) : index;
}

PyObject* get_interaction_index(pycore::Function*, PyObject* const* args) {
    Ref list = interaction_list(args[0], args[2]);
    return list ? first_position(list.get(), args[1], -1) : nullptr;
}

PyObject* get_interaction_g_index_expanded(pycore::Function*, PyObject* const* args) {
    Ref expanded = call_method(args[0], "interactions_g_expanded");
    return expanded ? first_position(expanded.get(), args[1], 0) : nullptr;
}

// np.zeros(np.array(items).size), filled at each position k with position(item k).
template <class Position>
PyObject* positions_of(PyObject* items, Position position) {
    Ref np = global("np");
    Ref wanted = np ? call_method(np.get(), "array", items) : Ref();
    Ref size = wanted ? attr(wanted.get(), "size") : Ref();
    np = size ? global("np") : Ref();
    Ref positions = np ? call_method(np.get(), "zeros", size.get()) : Ref();
    Py_ssize_t count = positions ? PyObject_Size(positions.get()) : -1;
    if (count < 0) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref key = Ref::steal(PyLong_FromSsize_t(k));
        Ref item = key ? Ref::steal(PyObject_GetItem(wanted.get(), key.get())) : Ref();
        Ref found = item ? position(item.get()) : Ref();
        if (!found || PyObject_SetItem(positions.get(), key.get(), found.get()) < 0) return nullptr;
    }
    return positions.release();
}

// For each text, its 0-based position in the interaction list of `kind`; a text
// not in the list ends the call with the list's ValueError.
PyObject* get_interaction_indices(pycore::Function*, PyObject* const* args) {
    Ref list = interaction_list(args[0], args[2]);
    if (!list) return nullptr;
    return positions_of(args[1],
                        [&](PyObject* item) { return call_method(list.get(), "index", item); });
}

// For each expanded text, its 1-based position among the expanded texts (the first
// of numpy's `where`), or -1.
PyObject* get_interaction_g_indices_expanded(pycore::Function*, PyObject* const* args) {
    Ref expanded = call_method(args[0], "interactions_g_expanded");
    if (!expanded) return nullptr;
    return positions_of(args[1], [&](PyObject* item) {
        Ref same = Ref::steal(PyObject_RichCompare(expanded.get(), item, Py_EQ));
        Ref np = same ? global("np") : Ref();
        Ref where = np ? call_method(np.get(), "where", same.get()) : Ref();
        Ref zero = where ? integer(0) : Ref();
        Ref found = zero ? Ref::steal(PyObject_GetItem(where.get(), zero.get())) : Ref();
        Py_ssize_t hits = found ? PyObject_Size(found.get()) : -1;
        if (hits <= 0) return hits == 0 ? integer(-1) : Ref();
        Ref first = Ref::steal(PyObject_GetItem(found.get(), zero.get()));
        Ref one = first ? integer(1) : Ref();
        return one ? Ref::steal(PyNumber_Add(first.get(), one.get())) : Ref();
    });
}

// The Species of a phase-wide species number, or None.
PyObject* get_species_by_index_global(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref one = integer(1);
    if (!one) return nullptr;
    int below = PyObject_RichCompareBool(args[1], one.get(), Py_LT);
    if (below < 0) return nullptr;
    if (below) return pycore::none();
    Ref as_int = global("int");
    Ref index = as_int ? call(as_int.get(), args[1]) : Ref();
    Ref sublattices = index ? attr(self, "sublattices") : Ref();
    Ref sizes = sublattices ? Ref::steal(PyList_New(0)) : Ref();
    Ref zero = sizes ? integer(0) : Ref();
    if (!zero || PyList_Append(sizes.get(), zero.get()) < 0) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(sublattices.get()));
    if (!iterator) return nullptr;
    while (Ref sublattice = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref size = attr(sublattice.get(), "number_species");
        if (!size || PyList_Append(sizes.get(), size.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref np = global("np");
    Ref array = np ? call_method(np.get(), "array", sizes.get()) : Ref();
    Ref totals = array ? call_method(array.get(), "cumsum") : Ref();
    Py_ssize_t count = totals ? PyObject_Size(sublattices.get()) : -1;
    if (count < 0) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref next = Ref::steal(PySequence_GetItem(totals.get(), k + 1));
        if (!next) return nullptr;
        int within = PyObject_RichCompareBool(index.get(), next.get(), Py_LE);
        if (within < 0) return nullptr;
        if (!within) continue;
        Ref sublattice = Ref::steal(PySequence_GetItem(sublattices.get(), k));
        Ref get_species = sublattice ? attr(sublattice.get(), "get_species") : Ref();
        Ref before = get_species ? Ref::steal(PySequence_GetItem(totals.get(), k)) : Ref();
        Ref rest = before ? Ref::steal(PyNumber_Subtract(index.get(), before.get())) : Ref();
        as_int = rest ? global("int") : Ref();
        Ref local = as_int ? call(as_int.get(), rest.get()) : Ref();
        return local ? call(get_species.get(), local.get()).release() : nullptr;
    }
    return pycore::none();
}

// print(line), with the builtin as bound now.
bool print_line(PyObject* line) {
    Ref print = global("print");
    return print && call(print.get(), line);
}

// An interaction text with species names in place of the phase-wide numbers:
// "(A)-(C): (V)-(X)" for "4: *R ( 1)-( 3) : ( 6)-( 8)".
PyObject* interaction_g_expanded(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* interaction = args[1];
    Ref parse = global("parse_interaction");
    if (!parse) return nullptr;
    Ref parsed = call(parse.get(), interaction);
    if (!parsed) {
        // The message goes out, then the parser's own exception.
        pycore::SavedError parse_error;
        Ref shown = formatted(interaction);
        Ref line =
            shown ? Ref::steal(PyUnicode_FromFormat("COULD NOT PARSE '%U'", shown.get())) : Ref();
        if (line && print_line(line.get()))
            parse_error.restore();
        else
            pycore::internals::chain_exceptions(parse_error);
        return nullptr;
    }
    Ref numbers = Ref::steal(PyObject_GetItem(parsed.get(), make_str("species_index").get()));
    Ref iterator = numbers ? Ref::steal(PyObject_GetIter(numbers.get())) : Ref();
    Ref species = iterator ? Ref::steal(PyList_New(0)) : Ref();
    if (!species) return nullptr;
    while (Ref number = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref found = call_method(self, "get_species_by_index_global", number.get());
        if (!found) return nullptr;
        if (found.get() == Py_None) {
            PyErr_Format(PyExc_ValueError, "species %S of '%S' is no species of this phase",
                         number.get(), interaction);
            return nullptr;
        }
        if (PyList_Append(species.get(), found.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref powers = call_method(parsed.get(), "get", make_str("power").get());
    if (!powers) return nullptr;
    Py_ssize_t power_count = 0;
    if (powers.get() != Py_None && (power_count = PyObject_Size(powers.get())) < 0) return nullptr;

    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return nullptr;
    auto append = [&](PyObject* piece) { return PyList_Append(pieces.get(), piece) == 0; };
    auto append_text = [&](const char* piece) {
        Ref value = make_str(piece);
        return value && append(value.get());
    };
    Ref first = Ref::steal(PySequence_GetItem(species.get(), 0));
    Ref first_sublattice = first ? attr(first.get(), "parent") : Ref();
    Ref current = first_sublattice ? attr(first_sublattice.get(), "index") : Ref();
    if (!current) return nullptr;
    long group = 0;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(species.get()); ++k) {
        PyObject* one = PyList_GET_ITEM(species.get(), k);
        Ref sublattice = attr(one, "parent");
        Ref sublattice_index = sublattice ? attr(sublattice.get(), "index") : Ref();
        if (!sublattice_index) return nullptr;
        int same = equal(sublattice_index.get(), current.get());
        if (same < 0) return nullptr;
        if (!same) {
            if (!append_text(": ")) return nullptr;
            current = sublattice_index;
            group = 0;
        }
        if (group > 0 && !append_text("-")) return nullptr;
        Ref name = attr(one, "name");
        Ref shown = name ? formatted(name.get()) : Ref();
        if (!shown || !append_text("(") || !append(shown.get()) || !append_text(")"))
            return nullptr;
        ++group;
        if (k < power_count) {
            Ref power = Ref::steal(PySequence_GetItem(powers.get(), k));
            Ref power_text = power ? formatted(power.get()) : Ref();
            if (!power_text || !append_text("^[") || !append(power_text.get()) || !append_text("]"))
                return nullptr;
        }
    }
    Ref model = call_method(parsed.get(), "get", make_str("type").get());
    if (!model) return nullptr;
    if (model.get() != Py_None) {
        Ref shown = formatted(model.get());
        if (!shown || !append_text(" (") || !append(shown.get()) || !append_text(")"))
            return nullptr;
    }
    Ref empty = make_str("");
    return empty ? PyUnicode_Join(empty.get(), pieces.get()) : nullptr;
}

// Text of each magnetic interaction -> its ParameterM objects, one per expression.
PyObject* interactions_m(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref kind = make_str("M");
    Ref list = kind ? interaction_list(self, kind.get()) : Ref();
    Ref iterator = list ? Ref::steal(PyObject_GetIter(list.get())) : Ref();
    Ref parameters = iterator ? Ref::steal(PyDict_New()) : Ref();
    Ref iexpr = make_str("iexpr");
    Ref keywords = iexpr ? Ref::steal(PyTuple_Pack(1, iexpr.get())) : Ref();
    if (!parameters || !keywords) return nullptr;
    long n = 0;
    while (Ref interaction = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref expressions = Ref::steal(PyList_New(0));
        if (!expressions ||
            PyObject_SetItem(parameters.get(), interaction.get(), expressions.get()) < 0)
            return nullptr;
        Ref engine = attr(self, "engine");
        Ref tqgpar = engine ? attr(engine.get(), "tqgpar") : Ref();
        Ref index = tqgpar ? attr(self, "index") : Ref();
        Ref indexx = index ? integer(++n) : Ref();
        Ref values = indexx ? call(tqgpar.get(), index.get(), kind.get(), indexx.get()) : Ref();
        Py_ssize_t count = values ? PyObject_Size(values.get()) : -1;
        if (count < 0) return nullptr;
        for (long e = 1; e <= count; ++e) {
            Ref method = attr(self, "get_parameter_magn");
            Ref number = method ? integer(e) : Ref();
            if (!number) return nullptr;
            PyObject* call_args[] = {indexx.get(), number.get()};
            Ref parameter =
                Ref::steal(PyObject_Vectorcall(method.get(), call_args, 1, keywords.get()));
            if (!parameter || PyList_Append(expressions.get(), parameter.get()) < 0) return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : parameters.release();
}

constexpr MemberRow phase_members[] = {
    {"name", property, "engine.tqgnp(index)"},
    {"model_name", property, "engine.tqmodl(index)"},
    {"status", settable, "engine.tqgsp(index)", "", "engine.tqcsp(index, value)"},
    {"number_constituents", property, "engine.tqnopc(index)"},
    {"number_sublattices", property, "0 if model_name == 'PURE' else engine.tqnosl(index)"},
    // Results of the phase: the phase index second, constituent 0.
    {"activity", property, "engine.tqgetr('AC', index, 0)"},
    {"chemical_potential", property, "engine.tqgetr('MU', index, 0)"},
    {"incoming_amount", property, "engine.tqgetr('IA', index, 0)"},
    {"eq_amount", property, "engine.tqgetr('A', index, 0)"},
    {"pressure_total", property, "engine.tqgetr('P', index, 0)"},
    {"volume_total", property, "engine.tqgetr('VT', index, 0)"},
    {"temperature", property, "engine.tqgetr('T', index, 0)"},
    {"heat_capacity", property, "engine.tqgetr('CP', index, 0)"},
    {"enthalpy", property, "engine.tqgetr('H', index, 0)"},
    {"entropy", property, "engine.tqgetr('S', index, 0)"},
    {"gibbs_energy", property, "engine.tqgetr('G', index, 0)"},
    {"volume", property, "engine.tqgetr('V', index, 0)"},
    {"heat_capacity_specific", property, "engine.tqgetr('CPM', index, 0)"},
    {"enthalpy_specific", property, "engine.tqgetr('HM', index, 0)"},
    {"entropy_specific", property, "engine.tqgetr('SM', index, 0)"},
    {"gibbs_energy_specific", property, "engine.tqgetr('GM', index, 0)"},
    {"volume_specific", property, "engine.tqgetr('VM', index, 0)"},
    {"__init__(index, engine)", init, "engine, index"},
    {"__str__", text,
     "phase <{index:3}, name: {name:25}[{status:10}], model: {model_name:5}, "
     "ncon: {number_constituents:3}, nsubl: {number_sublattices}>"},
    {"__repr__", method, "self.__str__()"},
    // Navigation.
    {"get_constituent(index)", method,
     "Constituent(index, self) if isinstance(index, int) else "
     "Constituent(engine.tqinpc(self.index, index), self) if isinstance(index, str) else None"},
    {"get_sublattice(index)", method, "Sublattice(index, self)"},
    {"constituents", property, "[Constituent(k, self) for k in range(1, number_constituents + 1)]"},
    {"sublattices", property, "[Sublattice(k, self) for k in range(1, number_sublattices + 1)]"},
    native("species", property, phase_species),
    {"constituent_by_name(name)", method, "Constituent(engine.tqinpc(index, name), self)"},
    {"get_parameter_gex(indexx, iexpr=1)", method, "ParameterG(self, indexx, iexpr=iexpr)"},
    {"get_parameter_magn(indexx, iexpr=1)", method, "ParameterM(self, indexx, iexpr=iexpr)"},
    // Interactions.
    native("get_interaction_index(interaction, kind='G')", method, get_interaction_index),
    native("get_interaction_indices(interactions, kind='G')", method, get_interaction_indices),
    {"interactions_g", method, "engine.tqlpar(index, 'G')"},
    native("get_species_by_index_global(index)", method, get_species_by_index_global),
    native("interaction_g_expanded(interaction)", method, interaction_g_expanded),
    {"interactions_g_expanded", method,
     "np.array([interaction_g_expanded(text) for text in interactions_g()])"},
    native("get_interaction_g_index_expanded(interaction)", method,
           get_interaction_g_index_expanded),
    native("get_interaction_g_indices_expanded(interactions)", method,
           get_interaction_g_indices_expanded),
    native("interactions_m", property, interactions_m),
};

}  // namespace

bool make_phase_classes(PyObject* module) {
    return make_class(module,
                      {"SystemComponent", nullptr, nullptr, nullptr, system_component_members}) &&
           make_class(module, {"ParameterG", nullptr,
                               "p = A + B*T + C*T*ln(T) + D*T2 + E*T3 + F/T (+G*P + H*P2)",
                               parameter_symbols, parameter_g_members}) &&
           make_class(module,
                      {"ParameterM", nullptr, nullptr, parameter_symbols, parameter_m_members}) &&
           make_class(module, {"Phase", nullptr, nullptr, nullptr, phase_members});
}

}  // namespace entities

// The ASCII data-file: a YAML document in the schema of data/README.md, then optionally a line
// "..." and a commentary block that is kept verbatim.
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <map>
#include <set>
#include <string>

#include "datafile.hpp"
#include "internal.hpp"

namespace eqx::datafile {

namespace {

struct Fault {
    DataSection section;
    int line;  // 1-based, 0: unknown
    std::string what;
};

int line_of(const YAML::Node& node) {
    if (!node.IsDefined()) return 0;
    int line = node.Mark().line;
    return line >= 0 ? line + 1 : 0;
}

const std::set<std::string> aqueous_models = {"IDWZ", "IDDZ", "PIMZ", "PITZ", "PIWZ", "HELZ",
                                              "HTSZ", "HTWZ", "HTDZ", "PIHZ", "SITZ"};

bool default_aqueous(const std::string& model) {
    return aqueous_models.count(model) != 0;
}

class DatReader {
  public:
    explicit DatReader(std::size_t budget) : budget_(budget) {}

    System system;
    std::vector<int> copies;  // per phase block
    // Lines of the items, to name them in messages about defects found after conversion.
    std::vector<int> component_lines;
    std::vector<int> block_lines;
    std::vector<std::vector<int>> constituent_lines, gibbs_lines, magnetic_lines;

    void document(const YAML::Node& root) {
        section_ = DataSection::general;
        expect_map(root, "the data-file");
        keys(root, {"equilex-data", "title", "components", "phases"});
        const YAML::Node version = root["equilex-data"];
        if (!version) fail(root, "missing \"equilex-data: 1\": not an Equilex data-file");
        if (integer(version, "equilex-data") != static_cast<long>(dat_schema_version))
            fail(version, "unknown schema version");
        if (const YAML::Node title = root["title"]) system.title = text(title, "title");
        const YAML::Node components = sequence(root, root["components"], "components");
        for (const YAML::Node& node : components) component(node);
        const YAML::Node phases = sequence(root, root["phases"], "phases");
        for (const YAML::Node& node : phases) phase(node);
    }

    [[noreturn]] void fail(const YAML::Node& node, std::string what) {
        throw Fault{section_, line_of(node), std::move(what)};
    }

  private:
    std::size_t budget_;
    DataSection section_ = DataSection::general;

    // Aliases let a small file name the same node many times; the budget keeps the work in
    // proportion to the file.
    void spend(const YAML::Node& node) {
        if (budget_ == 0) fail(node, "more items than the file can hold (aliases?)");
        --budget_;
    }

    void expect_map(const YAML::Node& node, const std::string& what) {
        if (!node.IsMap()) fail(node, what + " must be a mapping of keys");
    }

    // Every key of a mapping is one of the allowed words, and none comes twice: the parser keeps
    // both entries of a repeated key and a look-up finds the first, so the second would be lost
    // without a word.
    void keys(const YAML::Node& node, std::initializer_list<const char*> allowed) {
        std::set<std::string> seen;
        for (auto it = node.begin(); it != node.end(); ++it) {
            spend(it->first);
            if (!it->first.IsScalar()) fail(it->first, "a key must be a plain word");
            const std::string& key = it->first.Scalar();
            if (std::none_of(allowed.begin(), allowed.end(),
                             [&](const char* word) { return key == word; }))
                fail(it->first, "unknown key \"" + key + "\"");
            if (!seen.insert(key).second) fail(it->first, "repeated key \"" + key + "\"");
        }
    }

    YAML::Node sequence(const YAML::Node& parent, const YAML::Node& node, const std::string& what) {
        if (!node) fail(parent, "missing \"" + what + "\"");
        if (!node.IsSequence()) fail(node, "\"" + what + "\" must be a list");
        return node;
    }

    YAML::Node required(const YAML::Node& parent, const char* key) {
        YAML::Node node = parent[key];
        if (!node) fail(parent, std::string("missing \"") + key + "\"");
        return node;
    }

    std::string text(const YAML::Node& node, const std::string& what) {
        spend(node);
        if (!node.IsScalar()) fail(node, "\"" + what + "\" must be a text");
        return node.Scalar();
    }

    double number(const YAML::Node& node, const std::string& what) {
        spend(node);
        if (!node.IsScalar()) fail(node, "\"" + what + "\" must be a number");
        double value = 0;
        try {
            value = node.as<double>();
        } catch (const YAML::Exception&) {
            fail(node, "\"" + what + "\" must be a number, not \"" + node.Scalar() + "\"");
        }
        if (!std::isfinite(value)) fail(node, "\"" + what + "\" must be a finite number");
        return value;
    }

    double number_or(const YAML::Node& parent, const char* key, double fallback) {
        const YAML::Node node = parent[key];
        return node ? number(node, key) : fallback;
    }

    long integer(const YAML::Node& node, const std::string& what) {
        double value = number(node, what);
        if (value != std::floor(value) || std::fabs(value) > 1e9)
            fail(node, "\"" + what + "\" must be a whole number");
        return static_cast<long>(value);
    }

    bool boolean(const YAML::Node& node, const std::string& what) {
        spend(node);
        try {
            if (node.IsScalar()) return node.as<bool>();
        } catch (const YAML::Exception&) {
        }
        fail(node, "\"" + what + "\" must be true or false");
    }

    template <std::size_t N>
    void numbers(const YAML::Node& parent, const char* key, double (&out)[N]) {
        const YAML::Node node = parent[key];
        if (!node) return;
        if (!node.IsSequence() || node.size() > N)
            fail(node, std::string("\"") + key + "\" must be a list of at most " +
                           std::to_string(N) + " numbers");
        std::size_t i = 0;
        for (const YAML::Node& item : node) out[i++] = number(item, key);
    }

    std::vector<double> number_list(const YAML::Node& node, const std::string& what) {
        if (!node.IsSequence()) fail(node, "\"" + what + "\" must be a list of numbers");
        std::vector<double> values;
        for (const YAML::Node& item : node) values.push_back(number(item, what));
        return values;
    }

    Status status(const YAML::Node& node) {
        std::string word = text(node, "status");
        if (word == "ENTERED") return Status::entered;
        if (word == "DORMANT") return Status::dormant;
        if (word == "ELIMINATED") return Status::eliminated;
        fail(node, "status must be ENTERED, DORMANT or ELIMINATED");
    }

    void component(const YAML::Node& node) {
        component_lines.push_back(line_of(node));
        expect_map(node, "a component");
        keys(node, {"name", "mass"});
        Component component;
        component.name = text(required(node, "name"), "name");
        component.molar_mass = number(required(node, "mass"), "mass");
        system.components.push_back(std::move(component));
    }

    void phase(const YAML::Node& node) {
        section_ = DataSection::phase;
        block_lines.push_back(line_of(node));
        expect_map(node, "a phase");
        keys(node,
             {"name", "model", "gas", "copies", "aqueous", "status", "magnetic_structure_factor",
              "sublattices", "constituents", "excess_gibbs", "excess_magnetic"});
        Phase phase;
        phase.name = text(required(node, "name"), "name");
        phase.model = text(required(node, "model"), "model");
        if (const YAML::Node gas = node["gas"]) phase.gas = boolean(gas, "gas");
        int count = 1;
        if (const YAML::Node copies_node = node["copies"]) {
            long value = integer(copies_node, "copies");
            if (value != 1 && value != 2) fail(copies_node, "\"copies\" must be 1 or 2");
            count = static_cast<int>(value);
        }
        phase.aqueous = default_aqueous(phase.model);
        if (const YAML::Node aqueous = node["aqueous"]) phase.aqueous = boolean(aqueous, "aqueous");
        if (const YAML::Node status_node = node["status"]) phase.status = status(status_node);
        phase.magnetic_structure_factor = number_or(node, "magnetic_structure_factor", 0.0);
        if (const YAML::Node sublattices = node["sublattices"]) {
            if (!sublattices.IsSequence()) fail(sublattices, "\"sublattices\" must be a list");
            for (const YAML::Node& item : sublattices)
                phase.sublattices.push_back(sublattice(item));
        }
        constituent_lines.emplace_back();
        for (const YAML::Node& item : sequence(node, node["constituents"], "constituents"))
            phase.constituents.push_back(constituent(item, phase));
        gibbs_lines.emplace_back();
        magnetic_lines.emplace_back();
        section_ = DataSection::excess_gibbs;
        if (const YAML::Node list = node["excess_gibbs"])
            excess(list, phase, phase.excess_gibbs, gibbs_lines.back());
        section_ = DataSection::excess_magnetic;
        if (const YAML::Node list = node["excess_magnetic"])
            excess(list, phase, phase.excess_magnetic, magnetic_lines.back());
        section_ = DataSection::phase;
        system.phases.push_back(std::move(phase));
        copies.push_back(count);
    }

    Sublattice sublattice(const YAML::Node& node) {
        expect_map(node, "a sublattice");
        keys(node, {"sites", "species"});
        Sublattice sublattice;
        sublattice.sites = number_or(node, "sites", 1.0);
        for (const YAML::Node& item : sequence(node, node["species"], "species"))
            sublattice.species.push_back(text(item, "species"));
        return sublattice;
    }

    // Index of a name in a list, or -1.
    static int find(const std::vector<std::string>& names, const std::string& name) {
        auto it = std::find(names.begin(), names.end(), name);
        return it == names.end() ? -1 : static_cast<int>(it - names.begin());
    }

    Constituent constituent(const YAML::Node& node, const Phase& phase) {
        constituent_lines.back().push_back(line_of(node));
        expect_map(node, "a constituent");
        keys(node, {"name", "stoichiometry", "charge", "incoming", "status", "status_fixed", "H298",
                    "S298", "cp", "volume", "critical", "magnetic", "species"});
        Constituent constituent;
        constituent.name = text(required(node, "name"), "name");
        constituent.stoichiometry = number_list(required(node, "stoichiometry"), "stoichiometry");
        constituent.charge = number_or(node, "charge", 0.0);
        if (const YAML::Node flag = node["incoming"])
            constituent.incoming = boolean(flag, "incoming");
        if (const YAML::Node flag = node["status_fixed"])
            constituent.status_fixed = boolean(flag, "status_fixed");
        if (const YAML::Node status_node = node["status"]) constituent.status = status(status_node);
        constituent.h298 = number(required(node, "H298"), "H298");
        constituent.s298 = number(required(node, "S298"), "S298");
        for (const YAML::Node& item : sequence(node, node["cp"], "cp"))
            constituent.cp_ranges.push_back(cp_range(item));
        if (const YAML::Node volume = node["volume"]) {
            expect_map(volume, "\"volume\"");
            keys(volume, {"density", "expansion", "compressibility", "bulk_modulus_derivative"});
            MolarVolumeData data;
            data.density = number(required(volume, "density"), "density");
            numbers(volume, "expansion", data.expansion);
            numbers(volume, "compressibility", data.compressibility);
            numbers(volume, "bulk_modulus_derivative", data.bulk_modulus_derivative);
            constituent.molar_volume = data;
        }
        if (const YAML::Node critical = node["critical"]) {
            expect_map(critical, "\"critical\"");
            keys(critical, {"Tc", "Pc", "Vc", "acentric_factor", "dipole_moment"});
            CriticalData data;
            data.temperature = number(required(critical, "Tc"), "Tc");
            data.pressure = number(required(critical, "Pc"), "Pc");
            data.volume = number_or(critical, "Vc", 0.0);
            data.acentric_factor = number_or(critical, "acentric_factor", 0.0);
            data.dipole_moment = number_or(critical, "dipole_moment", 0.0);
            constituent.critical = data;
        }
        if (const YAML::Node magnetic = node["magnetic"]) {
            expect_map(magnetic, "\"magnetic\"");
            keys(magnetic, {"Tc", "moment"});
            MagneticData data;
            data.critical_temperature = number(required(magnetic, "Tc"), "Tc");
            data.moment = number(required(magnetic, "moment"), "moment");
            constituent.magnetic = data;
        }
        if (const YAML::Node species = node["species"]) {
            if (!species.IsSequence() || species.size() != phase.sublattices.size())
                fail(species, "\"species\" must name one species on each of the " +
                                  std::to_string(phase.sublattices.size()) + " sublattices");
            std::size_t s = 0;
            for (const YAML::Node& item : species) {
                std::string name = text(item, "species");
                int index = find(phase.sublattices[s].species, name);
                if (index < 0)
                    fail(item, "\"" + name + "\" is not a species of sublattice " +
                                   std::to_string(s + 1));
                constituent.sublattice_species.push_back(index);
                ++s;
            }
        } else if (!phase.sublattices.empty()) {
            fail(node, "missing \"species\": one species on each sublattice");
        }
        return constituent;
    }

    CpRange cp_range(const YAML::Node& node) {
        expect_map(node, "a Cp range");
        keys(node, {"a", "b", "c", "d", "terms", "Tt", "Ht"});
        CpRange range;
        range.a = number_or(node, "a", 0.0);
        range.b = number_or(node, "b", 0.0);
        range.c = number_or(node, "c", 0.0);
        range.d = number_or(node, "d", 0.0);
        if (const YAML::Node terms = node["terms"]) {
            if (!terms.IsSequence() || terms.size() > max_extra_cp_terms)
                fail(terms, "\"terms\" must be a list of at most 3 [coefficient, power] pairs");
            for (const YAML::Node& term : terms) {
                if (!term.IsSequence() || term.size() != 2)
                    fail(term, "a term must be [coefficient, power]");
                range.extra_terms.push_back(
                    {number(term[0], "coefficient"), number(term[1], "power")});
            }
        }
        range.upper_temperature = number(required(node, "Tt"), "Tt");
        range.transformation_enthalpy = number_or(node, "Ht", 0.0);
        return range;
    }

    std::vector<std::string> group_names(const Phase& phase, int group) {
        if (phase.sublattices.empty()) {
            std::vector<std::string> names;
            for (const Constituent& constituent : phase.constituents)
                names.push_back(constituent.name);
            return names;
        }
        return phase.sublattices[group].species;
    }

    void excess(const YAML::Node& list, const Phase& phase, std::vector<ExcessParameter>& out,
                std::vector<int>& lines) {
        if (!list.IsSequence()) fail(list, "excess parameters must be a list");
        int groups_wanted = phase.sublattice_count();
        for (const YAML::Node& node : list) {
            lines.push_back(line_of(node));
            expect_map(node, "an excess parameter");
            keys(node, {"species", "kind", "model", "expressions"});
            ExcessParameter parameter;
            const YAML::Node species = required(node, "species");
            if (!species.IsSequence() || static_cast<int>(species.size()) != groups_wanted ||
                groups_wanted == 0)
                fail(species, "\"species\" must be " + std::to_string(groups_wanted) +
                                  " list(s) of species names, one per sublattice");
            int g = 0;
            for (const YAML::Node& group_node : species) {
                if (!group_node.IsSequence() || group_node.size() == 0)
                    fail(group_node, "a species group must be a list of names");
                std::vector<std::string> names = group_names(phase, g);
                std::vector<SpeciesTerm> group;
                for (const YAML::Node& item : group_node) {
                    SpeciesTerm term;
                    std::string name;
                    if (item.IsMap()) {
                        keys(item, {"name", "power"});
                        name = text(required(item, "name"), "name");
                        long power = integer(required(item, "power"), "power");
                        if (power < 0 || power > 99) fail(item, "power must be 0 to 99");
                        term.power = static_cast<int>(power);
                    } else {
                        name = text(item, "species");
                    }
                    int index = find(names, name);
                    if (index < 0)
                        fail(item, "\"" + name + "\" is not a species of sublattice " +
                                       std::to_string(g + 1));
                    term.species = phase.species_number(g, index);
                    group.push_back(term);
                }
                parameter.groups.push_back(std::move(group));
                ++g;
            }
            if (const YAML::Node kind = node["kind"])
                parameter.kind = text(kind, "kind");
            else
                parameter.kind = default_kind(parameter);
            if (const YAML::Node model = node["model"]) parameter.model_word = text(model, "model");
            const YAML::Node expressions = sequence(node, node["expressions"], "expressions");
            for (const YAML::Node& item : expressions)
                parameter.expressions.push_back(number_list(item, "expression"));
            pad_expressions(parameter, section_ == DataSection::excess_gibbs ? min_gibbs_values
                                                                             : min_magnetic_values);
            out.push_back(std::move(parameter));
        }
    }
};

void append_number(std::string& out, double value) {
    if (std::isnan(value)) {
        out += ".nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-.inf" : ".inf";
        return;
    }
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_text(std::string& out, const std::string& value) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char byte : value) {
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 32 || byte == 127) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += static_cast<char>(byte);  // ASCII: the readers and renames refuse the rest
        }
    }
    out += '"';
}

class DatWriter {
  public:
    std::string out;

    void system(const System& system) {
        out += "# Equilex data-file; the schema is described in data/README.md.\n";
        out += "equilex-data: " + std::to_string(dat_schema_version) + "\n";
        if (!system.title.empty()) {
            out += "title: ";
            append_text(out, system.title);
            out += '\n';
        }
        out += "components:\n";
        for (const Component& component : system.components) {
            out += "  - {name: ";
            append_text(out, component.name);
            out += ", mass: ";
            append_number(out, component.molar_mass);
            out += "}\n";
        }
        out += "phases:\n";
        for (std::size_t p = 0; p < system.phases.size(); ++p) {
            const Phase& phase = system.phases[p];
            if (phase.demixing_copy == 2) continue;  // written with copy 1
            this->phase(phase);
        }
    }

  private:
    void key(int indent, const char* name) {
        out.append(static_cast<std::size_t>(indent), ' ');
        out += name;
        out += ": ";
    }

    void numbers(const double* values, std::size_t count) {
        out += '[';
        for (std::size_t i = 0; i < count; ++i) {
            if (i) out += ", ";
            append_number(out, values[i]);
        }
        out += ']';
    }

    void phase(const Phase& phase) {
        out += "  - name: ";
        append_text(out, phase.base_name());
        out += '\n';
        key(4, "model");
        append_text(out, phase.model);
        out += '\n';
        if (phase.gas) out += "    gas: true\n";
        if (phase.demixing_copy == 1) out += "    copies: 2\n";
        if (phase.aqueous != default_aqueous(phase.model))
            out += phase.aqueous ? "    aqueous: true\n" : "    aqueous: false\n";
        if (phase.status != Status::entered)
            out += "    status: " + status_text(phase.status) + "\n";
        if (phase.magnetic_structure_factor != 0.0) {
            key(4, "magnetic_structure_factor");
            append_number(out, phase.magnetic_structure_factor);
            out += '\n';
        }
        if (!phase.sublattices.empty()) {
            out += "    sublattices:\n";
            for (const Sublattice& sublattice : phase.sublattices) {
                out += "      - sites: ";
                append_number(out, sublattice.sites);
                out += "\n        species: [";
                for (std::size_t i = 0; i < sublattice.species.size(); ++i) {
                    if (i) out += ", ";
                    append_text(out, sublattice.species[i]);
                }
                out += "]\n";
            }
        }
        out += "    constituents:\n";
        for (const Constituent& constituent : phase.constituents)
            this->constituent(phase, constituent);
        excess(phase, "excess_gibbs", phase.excess_gibbs);
        excess(phase, "excess_magnetic", phase.excess_magnetic);
    }

    void constituent(const Phase& phase, const Constituent& constituent) {
        out += "      - name: ";
        append_text(out, constituent.name);
        out += '\n';
        key(8, "stoichiometry");
        numbers(constituent.stoichiometry.data(), constituent.stoichiometry.size());
        out += '\n';
        if (!phase.sublattices.empty()) {
            key(8, "species");
            out += '[';
            for (std::size_t s = 0; s < constituent.sublattice_species.size(); ++s) {
                if (s) out += ", ";
                const std::string* name = phase.sublattice_species_name(
                    static_cast<int>(s), constituent.sublattice_species[s]);
                append_text(out, name ? *name : std::string());
            }
            out += "]\n";
        }
        if (constituent.charge != 0.0) {
            key(8, "charge");
            append_number(out, constituent.charge);
            out += '\n';
        }
        if (!constituent.incoming) out += "        incoming: false\n";
        if (constituent.status_fixed) out += "        status_fixed: true\n";
        if (constituent.status != Status::entered)
            out += "        status: " + status_text(constituent.status) + "\n";
        key(8, "H298");
        append_number(out, constituent.h298);
        out += '\n';
        key(8, "S298");
        append_number(out, constituent.s298);
        out += "\n        cp:\n";
        for (const CpRange& range : constituent.cp_ranges) {
            out += "          - {a: ";
            append_number(out, range.a);
            out += ", b: ";
            append_number(out, range.b);
            out += ", c: ";
            append_number(out, range.c);
            out += ", d: ";
            append_number(out, range.d);
            if (!range.extra_terms.empty()) {
                out += ", terms: [";
                for (std::size_t i = 0; i < range.extra_terms.size(); ++i) {
                    if (i) out += ", ";
                    double pair[2] = {range.extra_terms[i].coefficient, range.extra_terms[i].power};
                    numbers(pair, 2);
                }
                out += ']';
            }
            out += ", Tt: ";
            append_number(out, range.upper_temperature);
            if (range.transformation_enthalpy != 0.0) {
                out += ", Ht: ";
                append_number(out, range.transformation_enthalpy);
            }
            out += "}\n";
        }
        if (const auto& volume = constituent.molar_volume) {
            out += "        volume: {density: ";
            append_number(out, volume->density);
            out += ", expansion: ";
            numbers(volume->expansion, 4);
            out += ", compressibility: ";
            numbers(volume->compressibility, 4);
            out += ", bulk_modulus_derivative: ";
            numbers(volume->bulk_modulus_derivative, 2);
            out += "}\n";
        }
        if (const auto& critical = constituent.critical) {
            out += "        critical: {Tc: ";
            append_number(out, critical->temperature);
            out += ", Pc: ";
            append_number(out, critical->pressure);
            out += ", Vc: ";
            append_number(out, critical->volume);
            out += ", acentric_factor: ";
            append_number(out, critical->acentric_factor);
            out += ", dipole_moment: ";
            append_number(out, critical->dipole_moment);
            out += "}\n";
        }
        if (const auto& magnetic = constituent.magnetic) {
            out += "        magnetic: {Tc: ";
            append_number(out, magnetic->critical_temperature);
            out += ", moment: ";
            append_number(out, magnetic->moment);
            out += "}\n";
        }
    }

    void excess(const Phase& phase, const char* name, const std::vector<ExcessParameter>& list) {
        if (list.empty()) return;
        out += "    ";
        out += name;
        out += ":\n";
        for (const ExcessParameter& parameter : list) {
            out += "      - species: [";
            for (std::size_t g = 0; g < parameter.groups.size(); ++g) {
                if (g) out += ", ";
                out += '[';
                for (std::size_t i = 0; i < parameter.groups[g].size(); ++i) {
                    const SpeciesTerm& term = parameter.groups[g][i];
                    if (i) out += ", ";
                    auto [sublattice, index] = phase.species_position(term.species);
                    const std::string* species = phase.sublattice_species_name(sublattice, index);
                    std::string species_name = species ? *species : std::string();
                    if (term.power != 0) {
                        out += "{name: ";
                        append_text(out, species_name);
                        out += ", power: " + std::to_string(term.power) + "}";
                    } else {
                        append_text(out, species_name);
                    }
                }
                out += ']';
            }
            out += "]\n        kind: ";
            append_text(out, parameter.kind);
            out += '\n';
            if (!parameter.model_word.empty()) {
                key(8, "model");
                append_text(out, parameter.model_word);
                out += '\n';
            }
            out += "        expressions:\n";
            for (const auto& expression : parameter.expressions) {
                out += "          - ";
                numbers(expression.data(), expression.size());
                out += '\n';
            }
        }
    }
};

// Splits the text at its first line "..." (the YAML end-of-document marker); what follows that
// line is the commentary block.
void split_commentary(std::string_view bytes, std::string_view& document,
                      std::string_view& commentary, bool& has_marker) {
    has_marker = false;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        std::size_t stop = end == std::string_view::npos ? bytes.size() : end;
        std::string_view line = bytes.substr(start, stop - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line == "...") {
            document = bytes.substr(0, start);
            commentary = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
            has_marker = true;
            return;
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    document = bytes;
    commentary = {};
}

// The message may quote bytes of the file (a name, an unknown key): it is made ASCII.
ReadResult failure(int error, int line, const std::string& what) {
    ReadResult result;
    result.error = error;
    result.message =
        (line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + ascii_escaped(what);
    return result;
}

int line_for(const DatReader& reader, const DataError& defect) {
    auto at = [](const std::vector<int>& lines, int index) {
        return index >= 0 && index < static_cast<int>(lines.size()) ? lines[index] : 0;
    };
    if (defect.component >= 0) return at(reader.component_lines, defect.component);
    if (defect.phase < 0) return 0;
    // Expanded phase index -> phase block of the file.
    int block = -1;
    int phase = 0;
    for (std::size_t b = 0; b < reader.copies.size(); ++b) {
        if (defect.phase < phase + reader.copies[b]) {
            block = static_cast<int>(b);
            break;
        }
        phase += reader.copies[b];
    }
    if (block < 0) return 0;
    int line = 0;
    if (defect.constituent >= 0) line = at(reader.constituent_lines[block], defect.constituent);
    if (defect.parameter >= 0)
        line = at(defect.section == DataSection::excess_gibbs ? reader.gibbs_lines[block]
                                                              : reader.magnetic_lines[block],
                  defect.parameter);
    return line ? line : reader.block_lines[block];
}

}  // namespace

ReadResult read_dat(std::string_view bytes) {
    if (bytes.size() > max_file_size) return failure(error_read, 0, "file too large");
    std::string_view document, commentary;
    bool has_marker = false;
    split_commentary(bytes, document, commentary, has_marker);
    // A text file: no NULs or control characters besides tab, line feed and carriage return.
    int line = 1;
    for (unsigned char byte : document) {
        if (byte == '\n') ++line;
        if (byte < 32 && byte != '\n' && byte != '\r' && byte != '\t')
            return failure(error_read, line, "not an ASCII data-file (control or NUL byte)");
    }
    DatReader reader(document.size() + 64);
    try {
        std::vector<YAML::Node> documents = YAML::LoadAll(std::string(document));
        if (documents.size() != 1)
            return failure(error_read, 0, "the data-file must hold exactly one YAML document");
        reader.document(documents.front());
        expand_demixing_copies(reader.system, reader.copies);
    } catch (const Fault& fault) {
        return failure(read_error_number(fault.section), fault.line, fault.what);
    } catch (const YAML::Exception& e) {
        return failure(error_read, e.mark.line >= 0 ? e.mark.line + 1 : 0, e.msg);
    } catch (const std::exception& e) {
        return failure(error_read, 0, e.what());
    }
    reader.system.commentary = std::string(commentary);
    if (auto defect = check_system(reader.system))
        return failure(read_error_number(defect->section), line_for(reader, *defect), defect->what);
    ReadResult result;
    result.system = std::make_unique<System>(std::move(reader.system));
    return result;
}

std::string write_dat(const System& system, bool with_commentary) {
    DatWriter writer;
    writer.system(system);
    if (with_commentary && !system.commentary.empty()) {
        writer.out += "...\n";
        writer.out += system.commentary;
    }
    return std::move(writer.out);
}

}  // namespace eqx::datafile

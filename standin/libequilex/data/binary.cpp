// The transparent (.cst) and binary (.bin) formats: one payload layout, written with fixed-width
// little-endian fields (.cst) or compactly with variable-length integers (.bin).
//
// Payload (phases as in the file: a phase included twice once, with its count of copies):
//   title, commentary
//   components: count, then name, molar mass
//   phases: count, then for each
//     name, model, flags (gas 1, aqueous 2), copies, magnetic structure factor, status
//     sublattices: count, then sites, species count, species names
//     constituents: count, then name, stoichiometry (count, values), charge,
//       flags (incoming 1, status fixed 2, volume 4, critical 8, magnetic 16), status, H298, S298,
//       Cp ranges (count, then a b c d, term count, (coefficient, power)..., Tt, Ht),
//       volume (11 values), critical (5), magnetic (2) when flagged,
//       sublattice species (count, indices)
//     excess Gibbs, then excess magnetic parameters: count, then groups (count, then terms:
//       count, (species, power)...), kind, model word, expressions (count, values per
//       expression, values)
// .cst header (44 bytes, little-endian): magic[8], version u32, components u32, phases u32,
//   constituents u32, excess Gibbs parameters u32, excess magnetic parameters u32 (counted as in
//   the payload), payload length u64, CRC-32 of the payload u32.
// .bin: magic[8], version (variable-length), payload.
#include <zlib.h>

#include <cstring>

#include "datafile.hpp"
#include "internal.hpp"

namespace eqx::datafile {

namespace {

enum class Encoding { fixed, compact };

class Encoder {
  public:
    explicit Encoder(Encoding encoding) : encoding_(encoding) {}
    std::string out;

    void raw(const void* data, std::size_t size) {
        out.append(static_cast<const char*>(data), size);
    }

    void u32_fixed(std::uint32_t value) {
        unsigned char bytes[4];
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        raw(bytes, 4);
    }
    void u64_fixed(std::uint64_t value) {
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        raw(bytes, 8);
    }
    void varint(std::uint64_t value) {
        do {
            unsigned char byte = value & 0x7f;
            value >>= 7;
            if (value) byte |= 0x80;
            out += static_cast<char>(byte);
        } while (value);
    }
    void count(std::size_t value) {
        if (encoding_ == Encoding::fixed)
            u32_fixed(static_cast<std::uint32_t>(value));
        else
            varint(value);
    }
    void integer(int value) {
        if (encoding_ == Encoding::fixed) {
            u32_fixed(static_cast<std::uint32_t>(value));
        } else {
            std::int64_t v = value;
            varint(static_cast<std::uint64_t>((v << 1) ^ (v >> 63)));  // zigzag
        }
    }
    void byte(unsigned value) { out += static_cast<char>(value & 0xff); }
    void real(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        u64_fixed(bits);
    }
    void text(const std::string& value) {
        count(value.size());
        out += value;
    }

  private:
    Encoding encoding_;
};

struct PayloadCounts {
    std::uint32_t components = 0, phases = 0, constituents = 0, gibbs = 0, magnetic = 0;
    bool operator==(const PayloadCounts&) const = default;
};

void encode_parameters(Encoder& e, const std::vector<ExcessParameter>& list) {
    e.count(list.size());
    for (const ExcessParameter& parameter : list) {
        e.count(parameter.groups.size());
        for (const auto& group : parameter.groups) {
            e.count(group.size());
            for (const SpeciesTerm& term : group) {
                e.integer(term.species);
                e.integer(term.power);
            }
        }
        e.text(parameter.kind);
        e.text(parameter.model_word);
        std::size_t length =
            parameter.expressions.empty() ? 0 : parameter.expressions.front().size();
        e.count(parameter.expressions.size());
        e.count(length);
        for (const auto& expression : parameter.expressions)
            for (std::size_t i = 0; i < length; ++i)
                e.real(i < expression.size() ? expression[i] : 0.0);
    }
}

PayloadCounts encode_payload(Encoder& e, const System& system) {
    PayloadCounts counts;
    e.text(system.title);
    e.text(system.commentary);
    e.count(system.components.size());
    counts.components = static_cast<std::uint32_t>(system.components.size());
    for (const Component& component : system.components) {
        e.text(component.name);
        e.real(component.molar_mass);
    }
    std::vector<const Phase*> blocks;
    for (const Phase& phase : system.phases)
        if (phase.demixing_copy != 2) blocks.push_back(&phase);
    e.count(blocks.size());
    counts.phases = static_cast<std::uint32_t>(blocks.size());
    for (const Phase* phase : blocks) {
        e.text(phase->base_name());
        e.text(phase->model);
        e.byte((phase->gas ? 1u : 0u) | (phase->aqueous ? 2u : 0u));
        e.byte(phase->demixing_copy == 1 ? 2 : 1);
        e.real(phase->magnetic_structure_factor);
        e.byte(static_cast<unsigned>(phase->status));
        e.count(phase->sublattices.size());
        for (const Sublattice& sublattice : phase->sublattices) {
            e.real(sublattice.sites);
            e.count(sublattice.species.size());
            for (const std::string& species : sublattice.species) e.text(species);
        }
        e.count(phase->constituents.size());
        counts.constituents += static_cast<std::uint32_t>(phase->constituents.size());
        for (const Constituent& c : phase->constituents) {
            e.text(c.name);
            e.count(c.stoichiometry.size());
            for (double value : c.stoichiometry) e.real(value);
            e.real(c.charge);
            e.byte((c.incoming ? 1u : 0u) | (c.status_fixed ? 2u : 0u) |
                   (c.molar_volume ? 4u : 0u) | (c.critical ? 8u : 0u) | (c.magnetic ? 16u : 0u));
            e.byte(static_cast<unsigned>(c.status));
            e.real(c.h298);
            e.real(c.s298);
            e.count(c.cp_ranges.size());
            for (const CpRange& range : c.cp_ranges) {
                e.real(range.a);
                e.real(range.b);
                e.real(range.c);
                e.real(range.d);
                e.count(range.extra_terms.size());
                for (const PowerTerm& term : range.extra_terms) {
                    e.real(term.coefficient);
                    e.real(term.power);
                }
                e.real(range.upper_temperature);
                e.real(range.transformation_enthalpy);
            }
            if (const auto& v = c.molar_volume) {
                e.real(v->density);
                for (double value : v->expansion) e.real(value);
                for (double value : v->compressibility) e.real(value);
                for (double value : v->bulk_modulus_derivative) e.real(value);
            }
            if (const auto& k = c.critical) {
                e.real(k->temperature);
                e.real(k->pressure);
                e.real(k->volume);
                e.real(k->acentric_factor);
                e.real(k->dipole_moment);
            }
            if (const auto& m = c.magnetic) {
                e.real(m->critical_temperature);
                e.real(m->moment);
            }
            e.count(c.sublattice_species.size());
            for (int index : c.sublattice_species) e.integer(index);
        }
        counts.gibbs += static_cast<std::uint32_t>(phase->excess_gibbs.size());
        counts.magnetic += static_cast<std::uint32_t>(phase->excess_magnetic.size());
        encode_parameters(e, phase->excess_gibbs);
        encode_parameters(e, phase->excess_magnetic);
    }
    return counts;
}

struct Fault {
    DataSection section;
    std::string what;
};

struct HeaderFault {
    std::string what;
};

class Decoder {
  public:
    Decoder(std::string_view bytes, Encoding encoding) : bytes_(bytes), encoding_(encoding) {}

    DataSection section = DataSection::general;
    std::string where;  // phase / constituent being read, for messages

    std::size_t remaining() const { return bytes_.size() - position_; }
    std::size_t position() const { return position_; }

    [[noreturn]] void fail(const std::string& what) {
        throw Fault{section, (where.empty() ? std::string() : where + ": ") + what + " at byte " +
                                 std::to_string(position_)};
    }

    const unsigned char* take(std::size_t size) {
        if (size > remaining()) fail("data end too early");
        const unsigned char* data =
            reinterpret_cast<const unsigned char*>(bytes_.data()) + position_;
        position_ += size;
        return data;
    }
    std::uint64_t u64_fixed() {
        const unsigned char* b = take(8);
        std::uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = (value << 8) | b[i];
        return value;
    }
    std::uint32_t u32_fixed() {
        const unsigned char* b = take(4);
        return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
               static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    }
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            unsigned char byte = *take(1);
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return value;
        }
        fail("bad variable-length number");
    }
    // A count of items, each at least min_item_size bytes: it cannot exceed what remains, so a
    // flipped or forged count never leads to a huge allocation.
    std::size_t count(std::size_t min_item_size) {
        std::uint64_t value = encoding_ == Encoding::fixed ? u32_fixed() : varint();
        if (value > remaining() / (min_item_size ? min_item_size : 1))
            fail("count exceeds the data");
        return static_cast<std::size_t>(value);
    }
    int integer() {
        if (encoding_ == Encoding::fixed) return static_cast<int>(u32_fixed());
        std::uint64_t zigzag = varint();
        std::int64_t value =
            static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
        if (value < INT32_MIN || value > INT32_MAX) fail("number out of range");
        return static_cast<int>(value);
    }
    unsigned byte() { return *take(1); }
    double real() {
        std::uint64_t bits = u64_fixed();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    std::string text() {
        std::size_t size = count(1);
        const unsigned char* data = take(size);
        return std::string(reinterpret_cast<const char*>(data), size);
    }
    std::size_t min_count_size() const { return encoding_ == Encoding::fixed ? 4 : 1; }
    std::size_t min_integer_size() const { return encoding_ == Encoding::fixed ? 4 : 1; }
    std::size_t min_text_size() const { return min_count_size(); }

  private:
    std::string_view bytes_;
    std::size_t position_ = 0;
    Encoding encoding_;
};

Status decode_status(Decoder& d) {
    unsigned value = d.byte();
    if (value > 2) d.fail("bad status");
    return static_cast<Status>(value);
}

void decode_parameters(Decoder& d, std::vector<ExcessParameter>& list, DataSection section) {
    DataSection outer = d.section;
    d.section = section;
    std::size_t count = d.count(d.min_count_size() * 4);
    for (std::size_t k = 0; k < count; ++k) {
        ExcessParameter parameter;
        std::size_t groups = d.count(d.min_count_size());
        for (std::size_t g = 0; g < groups; ++g) {
            std::size_t terms = d.count(2 * d.min_integer_size());
            std::vector<SpeciesTerm> group;
            for (std::size_t t = 0; t < terms; ++t) {
                SpeciesTerm term;
                term.species = d.integer();
                term.power = d.integer();
                group.push_back(term);
            }
            parameter.groups.push_back(std::move(group));
        }
        parameter.kind = d.text();
        parameter.model_word = d.text();
        std::size_t expressions = d.count(1);
        std::size_t length = d.count(1);
        if (expressions > max_excess_expressions || length > max_expression_values)
            d.fail("too many expressions or values");
        for (std::size_t x = 0; x < expressions; ++x) {
            std::vector<double> values;
            for (std::size_t i = 0; i < length; ++i) values.push_back(d.real());
            parameter.expressions.push_back(std::move(values));
        }
        list.push_back(std::move(parameter));
    }
    d.section = outer;
}

PayloadCounts decode_payload(Decoder& d, System& system, std::vector<int>& copies,
                             const PayloadCounts* expected) {
    PayloadCounts counts;
    auto check = [&](std::uint32_t found, std::uint32_t wanted, const char* what) {
        if (expected && found != wanted)
            throw HeaderFault{std::string("the header gives ") + std::to_string(wanted) + " " +
                              what + ", the data hold " + std::to_string(found)};
    };
    system.title = d.text();
    system.commentary = d.text();
    std::size_t components = d.count(d.min_text_size() + 8);
    counts.components = static_cast<std::uint32_t>(components);
    check(counts.components, expected ? expected->components : 0, "components");
    for (std::size_t i = 0; i < components; ++i) {
        Component component;
        component.name = d.text();
        component.molar_mass = d.real();
        system.components.push_back(std::move(component));
    }
    std::size_t phases = d.count(2 * d.min_text_size() + 11);
    counts.phases = static_cast<std::uint32_t>(phases);
    check(counts.phases, expected ? expected->phases : 0, "phases");
    for (std::size_t p = 0; p < phases; ++p) {
        d.section = DataSection::phase;
        d.where = "phase " + std::to_string(p + 1);
        Phase phase;
        phase.name = d.text();
        phase.model = d.text();
        unsigned flags = d.byte();
        if (flags > 3) d.fail("bad phase flags");
        phase.gas = flags & 1;
        phase.aqueous = flags & 2;
        unsigned count = d.byte();
        if (count != 1 && count != 2) d.fail("bad count of copies");
        copies.push_back(static_cast<int>(count));
        phase.magnetic_structure_factor = d.real();
        phase.status = decode_status(d);
        std::size_t sublattices = d.count(8 + d.min_count_size());
        for (std::size_t s = 0; s < sublattices; ++s) {
            Sublattice sublattice;
            sublattice.sites = d.real();
            std::size_t species = d.count(d.min_text_size());
            for (std::size_t i = 0; i < species; ++i) sublattice.species.push_back(d.text());
            phase.sublattices.push_back(std::move(sublattice));
        }
        std::size_t constituents = d.count(d.min_text_size() + 2 * d.min_count_size() + 26);
        counts.constituents += static_cast<std::uint32_t>(constituents);
        for (std::size_t c = 0; c < constituents; ++c) {
            d.where = "phase " + std::to_string(p + 1) + ", constituent " + std::to_string(c + 1);
            Constituent constituent;
            constituent.name = d.text();
            std::size_t stoichiometry = d.count(8);
            for (std::size_t i = 0; i < stoichiometry; ++i)
                constituent.stoichiometry.push_back(d.real());
            constituent.charge = d.real();
            unsigned cflags = d.byte();
            if (cflags > 31) d.fail("bad constituent flags");
            constituent.incoming = cflags & 1;
            constituent.status_fixed = cflags & 2;
            constituent.status = decode_status(d);
            constituent.h298 = d.real();
            constituent.s298 = d.real();
            std::size_t ranges = d.count(48 + d.min_count_size());
            for (std::size_t r = 0; r < ranges; ++r) {
                CpRange range;
                range.a = d.real();
                range.b = d.real();
                range.c = d.real();
                range.d = d.real();
                std::size_t terms = d.count(16);
                if (terms > max_extra_cp_terms) d.fail("more than 3 extra Cp terms");
                for (std::size_t t = 0; t < terms; ++t) {
                    PowerTerm term;
                    term.coefficient = d.real();
                    term.power = d.real();
                    range.extra_terms.push_back(term);
                }
                range.upper_temperature = d.real();
                range.transformation_enthalpy = d.real();
                constituent.cp_ranges.push_back(std::move(range));
            }
            if (cflags & 4) {
                MolarVolumeData v;
                v.density = d.real();
                for (double& value : v.expansion) value = d.real();
                for (double& value : v.compressibility) value = d.real();
                for (double& value : v.bulk_modulus_derivative) value = d.real();
                constituent.molar_volume = v;
            }
            if (cflags & 8) {
                CriticalData k;
                k.temperature = d.real();
                k.pressure = d.real();
                k.volume = d.real();
                k.acentric_factor = d.real();
                k.dipole_moment = d.real();
                constituent.critical = k;
            }
            if (cflags & 16) {
                MagneticData m;
                m.critical_temperature = d.real();
                m.moment = d.real();
                constituent.magnetic = m;
            }
            std::size_t species = d.count(d.min_integer_size());
            for (std::size_t s = 0; s < species; ++s)
                constituent.sublattice_species.push_back(d.integer());
            phase.constituents.push_back(std::move(constituent));
        }
        d.where = "phase " + std::to_string(p + 1);
        decode_parameters(d, phase.excess_gibbs, DataSection::excess_gibbs);
        decode_parameters(d, phase.excess_magnetic, DataSection::excess_magnetic);
        counts.gibbs += static_cast<std::uint32_t>(phase.excess_gibbs.size());
        counts.magnetic += static_cast<std::uint32_t>(phase.excess_magnetic.size());
        system.phases.push_back(std::move(phase));
    }
    d.section = DataSection::general;
    d.where.clear();
    if (d.remaining() != 0) d.fail("unexpected data after the last phase");
    if (expected) {
        check(counts.constituents, expected->constituents, "constituents");
        check(counts.gibbs, expected->gibbs, "excess Gibbs parameters");
        check(counts.magnetic, expected->magnetic, "excess magnetic parameters");
    }
    return counts;
}

// The message may quote bytes of the file (a name): it is made ASCII.
ReadResult failure(int error, std::string_view message) {
    ReadResult result;
    result.error = error;
    result.message = ascii_escaped(message);
    return result;
}

// Decodes, expands and checks a payload.
ReadResult finish(std::string_view payload, Encoding encoding, const PayloadCounts* expected) {
    auto system = std::make_unique<System>();
    std::vector<int> copies;
    Decoder decoder(payload, encoding);
    try {
        decode_payload(decoder, *system, copies, expected);
    } catch (const HeaderFault& fault) {
        return failure(error_header_sizes, fault.what);
    } catch (const Fault& fault) {
        return failure(read_error_number(fault.section), fault.what);
    } catch (const std::bad_alloc&) {
        return failure(error_read, "out of memory");
    }
    expand_demixing_copies(*system, copies);
    if (auto defect = check_system(*system))
        return failure(read_error_number(defect->section), defect->what);
    ReadResult result;
    result.system = std::move(system);
    return result;
}

std::uint32_t get_u32(std::string_view bytes, std::size_t offset) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint32_t crc_of(std::string_view bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes uInt lengths: feed large payloads in pieces.
    while (!bytes.empty()) {
        std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(piece));
        bytes.remove_prefix(piece);
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace

ReadResult read_cst(std::string_view bytes) {
    if (bytes.size() < sizeof cst_magic ||
        std::memcmp(bytes.data(), cst_magic, sizeof cst_magic) != 0)
        return failure(error_magic, "no transparent data-file magic bytes");
    if (bytes.size() < 12) return failure(error_checksum, "header cut short");
    std::uint32_t version = get_u32(bytes, 8);
    if (version != cst_version)
        return failure(error_version, "transparent format version " + std::to_string(version));
    if (bytes.size() < cst_header_size) return failure(error_checksum, "header cut short");
    PayloadCounts expected;
    expected.components = get_u32(bytes, 12);
    expected.phases = get_u32(bytes, 16);
    expected.constituents = get_u32(bytes, 20);
    expected.gibbs = get_u32(bytes, 24);
    expected.magnetic = get_u32(bytes, 28);
    std::uint64_t length = static_cast<std::uint64_t>(get_u32(bytes, 32)) |
                           static_cast<std::uint64_t>(get_u32(bytes, 36)) << 32;
    std::string_view payload = bytes.substr(cst_header_size);
    if (length != payload.size())
        return failure(error_checksum, "payload length " + std::to_string(payload.size()) +
                                           " differs from the header's " + std::to_string(length));
    if (crc_of(payload) != get_u32(bytes, 40)) return failure(error_checksum, "checksum mismatch");
    return finish(payload, Encoding::fixed, &expected);
}

ReadResult read_bin(std::string_view bytes) {
    if (bytes.size() < sizeof bin_magic ||
        std::memcmp(bytes.data(), bin_magic, sizeof bin_magic) != 0)
        return failure(error_read, "not a binary data-file (magic bytes)");
    std::string_view rest = bytes.substr(sizeof bin_magic);
    Decoder version_decoder(rest, Encoding::compact);
    std::uint64_t version = 0;
    try {
        version = version_decoder.varint();
    } catch (const Fault&) {
        return failure(error_read, "binary data-file cut short");
    }
    if (version != bin_version)
        return failure(error_read, "unknown binary format version " + std::to_string(version));
    return finish(rest.substr(version_decoder.position()), Encoding::compact, nullptr);
}

std::string write_cst(const System& system, std::uint32_t version) {
    Encoder payload(Encoding::fixed);
    PayloadCounts counts = encode_payload(payload, system);
    Encoder header(Encoding::fixed);
    header.raw(cst_magic, sizeof cst_magic);
    header.u32_fixed(version);
    header.u32_fixed(counts.components);
    header.u32_fixed(counts.phases);
    header.u32_fixed(counts.constituents);
    header.u32_fixed(counts.gibbs);
    header.u32_fixed(counts.magnetic);
    header.u64_fixed(payload.out.size());
    header.u32_fixed(crc_of(payload.out));
    return header.out + payload.out;
}

std::string write_bin(const System& system) {
    Encoder e(Encoding::compact);
    e.raw(bin_magic, sizeof bin_magic);
    e.varint(bin_version);
    encode_payload(e, system);
    return std::move(e.out);
}

ReadResult read(Format format, std::string_view bytes) {
    switch (format) {
        case Format::cst:
            return read_cst(bytes);
        case Format::bin:
            return read_bin(bytes);
        case Format::dat:
            break;
    }
    return read_dat(bytes);
}

std::string write(Format format, const System& system) {
    switch (format) {
        case Format::cst:
            return write_cst(system);
        case Format::bin:
            return write_bin(system);
        case Format::dat:
            break;
    }
    return write_dat(system, true);
}

bool read_whole_file(std::FILE* file, std::string& bytes) {
    bytes.clear();
    if (!file) return false;
    std::clearerr(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) return false;
    char buffer[65536];
    while (true) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (got) {
            if (bytes.size() + got > max_file_size) return false;
            bytes.append(buffer, got);
        }
        if (got < sizeof buffer) break;
    }
    return !std::ferror(file);
}

}  // namespace eqx::datafile

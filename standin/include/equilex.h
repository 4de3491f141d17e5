/*
 * equilex.h - the exported routines of the Equilex library, as the stand-in libequilex.so
 * implements them and as the equilexproxy binding calls them.
 *
 * Calling convention of every routine:
 *   - every argument is a pointer (to a 32-bit integer, a 64-bit float, an array or a character
 *     buffer), except the length that follows each text or text buffer at once: a 32-bit integer
 *     passed by value;
 *   - the error number is always the last argument and is always written (0 = success);
 *   - on failure nothing but the error number is written: outputs keep what the caller put there;
 *   - input texts are exactly `length` bytes (they may hold NULs and need not end in one); output
 *     texts are written to at most `length` bytes, truncated when longer, and end in a NUL or are
 *     padded with blanks;
 *   - the return type is void; names are undecorated upper case with C linkage. On 32-bit
 *     Windows the routines are __stdcall, which decorates them as _NAME@bytes.
 *
 * Index numbers (components, phases, constituents, sublattices, species) count from 1.
 */
#ifndef EQUILEX_H
#define EQUILEX_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define EQX_STDCALL __stdcall
#else
#define EQX_STDCALL
#endif

#if defined(_WIN32)
#if defined(EQX_BUILDING_LIBRARY)
#define EQX_API __declspec(dllexport)
#else
#define EQX_API
#endif
#elif defined(__GNUC__)
/* The library is built with hidden visibility: only what carries EQX_API is exported. */
#define EQX_API __attribute__((visibility("default")))
#else
#define EQX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* --- initialisation, messages, version, sizes ------------------------------------------------ */

/* Initialises the library: defaults of every option and unit, no data-file loaded. Files open on
 * units stay open. Every other routine but TQVERS, TQSIZE, TQCPRT, TQERR and TQCLOS needs it. */
EQX_API void EQX_STDCALL TQINI(int32_t* error);
/* Makes the copyright message the current message, read with TQERR. */
EQX_API void EQX_STDCALL TQCPRT(int32_t* error);
/* The current message as three lines in three fields of message_len / 3 bytes each (the binding
 * passes 240: three fields of 80). A field holds one line, ended by a NUL or filling the field. */
EQX_API void EQX_STDCALL TQERR(char* message, int32_t message_len, int32_t* error);
/* Version number, the digits of major, minor and patch run together (634 is 6.3.4). */
EQX_API void EQX_STDCALL TQVERS(int32_t* version, int32_t* error);
/* Maximum array sizes (TQSIZE) and sizes in use for the loaded system (TQUSED). */
EQX_API void EQX_STDCALL
TQSIZE(int32_t* max_constituents, int32_t* max_components, int32_t* max_mixture_phases,
       int32_t* max_excess_gibbs_coefficients, int32_t* max_excess_magnetic_coefficients,
       int32_t* max_sublattices_per_phase, int32_t* max_constituents_per_sublattice,
       int32_t* max_quasichemical_constituents, int32_t* max_gibbs_equations_per_constituent,
       int32_t* max_gibbs_equations, int32_t* max_volume_constituents, int32_t* error);
EQX_API void EQX_STDCALL TQUSED(int32_t* constituents, int32_t* components, int32_t* mixture_phases,
                                int32_t* excess_gibbs_coefficients,
                                int32_t* excess_magnetic_coefficients,
                                int32_t* sublattices_per_phase,
                                int32_t* constituents_per_sublattice,
                                int32_t* quasichemical_constituents,
                                int32_t* gibbs_equations_per_constituent, int32_t* gibbs_equations,
                                int32_t* volume_constituents, int32_t* error);

/* --- input/output options and file units ----------------------------------------------------- */

/* Options "FILE", "ERROR", "LIST" (unit numbers) and "LANGUAGE" (1 English, 2 German, 3 French,
 * 4 Swedish, 5 Finnish). Units 1-10 and 20 upwards are valid. */
EQX_API void EQX_STDCALL TQGIO(const char* option, int32_t option_len, int32_t* value,
                               int32_t* error);
EQX_API void EQX_STDCALL TQCIO(const char* option, int32_t option_len, const int32_t* value,
                               int32_t* error);
/* Any file, for reading and writing; created when missing. */
EQX_API void EQX_STDCALL TQOPEN(const char* filename, int32_t filename_len, const int32_t* unit,
                                int32_t* error);
/* An existing ASCII data-file (or a log file that is to receive the messages). */
EQX_API void EQX_STDCALL TQOPNA(const char* filename, int32_t filename_len, const int32_t* unit,
                                int32_t* error);
/* An existing transparent data-file. */
EQX_API void EQX_STDCALL TQOPNT(const char* filename, int32_t filename_len, const int32_t* unit,
                                int32_t* error);
/* An existing binary data-file. */
EQX_API void EQX_STDCALL TQOPNB(const char* filename, int32_t filename_len, const int32_t* unit,
                                int32_t* error);
/* Closes the file open on a unit; a unit with nothing open is no error. */
EQX_API void EQX_STDCALL TQCLOS(const int32_t* unit, int32_t* error);

/* --- data-files: reading (from the "FILE" unit) and writing ---------------------------------- */

EQX_API void EQX_STDCALL TQRFIL(int32_t* error);
EQX_API void EQX_STDCALL TQRCST(int32_t* error);
EQX_API void EQX_STDCALL TQRBIN(int32_t* error);
/* Writes the loaded system as an ASCII data-file. */
EQX_API void EQX_STDCALL TQWASC(const char* filename, int32_t filename_len, int32_t* error);

/* --- system components ----------------------------------------------------------------------- */

EQX_API void EQX_STDCALL TQNOSC(int32_t* count, int32_t* error);
EQX_API void EQX_STDCALL TQGNSC(const int32_t* index, char* name, int32_t name_len, int32_t* error);
EQX_API void EQX_STDCALL TQINSC(const char* name, int32_t name_len, int32_t* index, int32_t* error);
/* stoichiometry: as many doubles as TQNOSC gives. */
EQX_API void EQX_STDCALL TQSTSC(const int32_t* index, double* stoichiometry, double* molar_mass,
                                int32_t* error);
EQX_API void EQX_STDCALL TQCNSC(const int32_t* index, const char* name, int32_t name_len,
                                int32_t* error);
/* names: fields of names_len bytes each (the binding passes 30 fields of 25), blank-padded;
 * fields left zero give no name. */
EQX_API void EQX_STDCALL TQCSC(const char* names, int32_t names_len, int32_t* error);

/* --- phases ---------------------------------------------------------------------------------- */

EQX_API void EQX_STDCALL TQNOP(int32_t* count, int32_t* error);
/* Status texts: "ENTERED", "DORMANT", "ELIMINATED". */
EQX_API void EQX_STDCALL TQGSP(const int32_t* phase, char* status, int32_t status_len,
                               int32_t* error);
EQX_API void EQX_STDCALL TQCSP(const int32_t* phase, const char* status, int32_t status_len,
                               int32_t* error);
EQX_API void EQX_STDCALL TQGNP(const int32_t* phase, char* name, int32_t name_len, int32_t* error);
EQX_API void EQX_STDCALL TQMODL(const int32_t* phase, char* model, int32_t model_len,
                                int32_t* error);
EQX_API void EQX_STDCALL TQNOPC(const int32_t* phase, int32_t* count, int32_t* error);
EQX_API void EQX_STDCALL TQNOSL(const int32_t* phase, int32_t* count, int32_t* error);
EQX_API void EQX_STDCALL TQINP(const char* name, int32_t name_len, int32_t* phase, int32_t* error);

/* --- phase constituents ---------------------------------------------------------------------- */

EQX_API void EQX_STDCALL TQINPC(const char* name, int32_t name_len, const int32_t* phase,
                                int32_t* constituent, int32_t* error);
EQX_API void EQX_STDCALL TQPCIS(const int32_t* phase, const int32_t* constituent,
                                int32_t* incoming_species, int32_t* error);
EQX_API void EQX_STDCALL TQGNPC(const int32_t* phase, const int32_t* constituent, char* name,
                                int32_t name_len, int32_t* error);
/* stoichiometry: as many doubles as TQNOSC gives. */
EQX_API void EQX_STDCALL TQSTPC(const int32_t* phase, const int32_t* constituent,
                                double* stoichiometry, double* molar_mass, int32_t* error);
EQX_API void EQX_STDCALL TQGSPC(const int32_t* phase, const int32_t* constituent, char* status,
                                int32_t status_len, int32_t* error);
EQX_API void EQX_STDCALL TQCSPC(const int32_t* phase, const int32_t* constituent,
                                const char* status, int32_t status_len, int32_t* error);
/* option: "CP", "H", "S", "G", "V" or "T" (upper temperature limit). */
EQX_API void EQX_STDCALL TQGDPC(const char* option, int32_t option_len, const int32_t* phase,
                                const int32_t* constituent, double* value, int32_t* error);
/* Charge of a phase constituent. */
EQX_API void EQX_STDCALL TQCHAR(const int32_t* phase, const int32_t* constituent, int32_t* charge,
                                int32_t* error);

/* --- sublattices ----------------------------------------------------------------------------- */

EQX_API void EQX_STDCALL TQNOLC(const int32_t* phase, const int32_t* sublattice, int32_t* count,
                                int32_t* error);
EQX_API void EQX_STDCALL TQGNLC(const int32_t* phase, const int32_t* sublattice,
                                const int32_t* species, char* name, int32_t name_len,
                                int32_t* error);
EQX_API void EQX_STDCALL TQINLC(const char* name, int32_t name_len, const int32_t* phase,
                                const int32_t* sublattice, int32_t* species, int32_t* error);
/* Calculated site fraction. */
EQX_API void EQX_STDCALL TQGTLC(const int32_t* phase, const int32_t* sublattice,
                                const int32_t* species, double* site_fraction, int32_t* error);

/* --- stored thermodynamic data and excess parameters ----------------------------------------- */

/* values: 25 doubles; count receives how many were written. */
EQX_API void EQX_STDCALL TQGDAT(const int32_t* phase, const int32_t* constituent,
                                const char* option, int32_t option_len, const int32_t* range,
                                int32_t* count, double* values, int32_t* error);
/* Changes one stored datum selected by five integers (datum code first). */
EQX_API void EQX_STDCALL TQCDAT(const int32_t* selector1, const int32_t* selector2,
                                const int32_t* selector3, const int32_t* selector4,
                                const int32_t* selector5, const double* value, int32_t* error);
/* texts: fields of text_len bytes each (the binding passes 1999 fields of 156); numbers: 1999
 * integers. count receives the number of parameters listed. */
EQX_API void EQX_STDCALL TQLPAR(const int32_t* phase, const char* option, int32_t option_len,
                                int32_t* count, char* texts, int32_t text_len, int32_t* numbers,
                                int32_t* error);
/* values: 560 doubles, a table of 20 expressions x 28 values stored column by column (value j
 * of expression k at values[k + 20 * j]). */
EQX_API void EQX_STDCALL TQGPAR(const int32_t* phase, const char* option, int32_t option_len,
                                const int32_t* parameter, int32_t* expression_count,
                                int32_t* value_count, double* values, int32_t* error);

/* --- conditions, calculations, results ------------------------------------------------------- */

EQX_API void EQX_STDCALL TQSETC(const char* option, int32_t option_len, const int32_t* phase,
                                const int32_t* index, const double* value,
                                int32_t* condition_number, int32_t* error);
EQX_API void EQX_STDCALL TQREMC(const int32_t* condition_number, int32_t* error);
/* Lists the present settings on the "LIST" unit. */
EQX_API void EQX_STDCALL TQSHOW(int32_t* error);
/* estimate: two doubles (an estimate, or lower and upper limits). The L variants also write the
 * result list on the "LIST" unit; the N variants start from the previous calculation. */
EQX_API void EQX_STDCALL TQCE(const char* option, int32_t option_len, const int32_t* phase,
                              const int32_t* index, const double* estimate, int32_t* error);
EQX_API void EQX_STDCALL TQCEL(const char* option, int32_t option_len, const int32_t* phase,
                               const int32_t* index, const double* estimate, int32_t* error);
EQX_API void EQX_STDCALL TQCEN(const char* option, int32_t option_len, const int32_t* phase,
                               const int32_t* index, const double* estimate, int32_t* error);
EQX_API void EQX_STDCALL TQCENL(const char* option, int32_t option_len, const int32_t* phase,
                                const int32_t* index, const double* estimate, int32_t* error);
EQX_API void EQX_STDCALL TQGETR(const char* option, int32_t option_len, const int32_t* phase,
                                const int32_t* index, double* value, int32_t* error);
/* Quantities "Temperature", "Pressure", "Volume", "Energy", "Amount". */
EQX_API void EQX_STDCALL TQGSU(const char* quantity, int32_t quantity_len, char* unit,
                               int32_t unit_len, int32_t* error);
EQX_API void EQX_STDCALL TQCSU(const char* quantity, int32_t quantity_len, const char* unit,
                               int32_t unit_len, int32_t* error);
EQX_API void EQX_STDCALL TQCLIM(const char* option, int32_t option_len, const double* value,
                                int32_t* error);
EQX_API void EQX_STDCALL TQCONF(const char* option, int32_t option_len, const int32_t* value_a,
                                const int32_t* value_b, const int32_t* value_c, int32_t* error);
/* Calculated fraction of a quadruplet or pair of phase constituents. */
EQX_API void EQX_STDCALL TQBOND(const int32_t* phase, const int32_t* constituent_a,
                                const int32_t* constituent_b, const int32_t* constituent_c,
                                const int32_t* constituent_d, double* fraction, int32_t* error);

/* --- streams --------------------------------------------------------------------------------- */

/* temperature_pressure: two doubles. */
EQX_API void EQX_STDCALL TQSTTP(const char* stream, int32_t stream_len,
                                const double* temperature_pressure, int32_t* error);
EQX_API void EQX_STDCALL TQSTRM(const char* stream, int32_t stream_len, int32_t* error);
EQX_API void EQX_STDCALL TQSTCA(const char* stream, int32_t stream_len, const int32_t* phase,
                                const int32_t* constituent, const double* amount, int32_t* error);
EQX_API void EQX_STDCALL TQSTEC(const char* option, int32_t option_len, const int32_t* phase,
                                const double* value, int32_t* error);
EQX_API void EQX_STDCALL TQSTXP(const char* stream, int32_t stream_len, const char* option,
                                int32_t option_len, double* value, int32_t* error);

/* --- one-dimensional phase maps -------------------------------------------------------------- */

/* limits: two doubles (lower, upper); calls_left receives how many more calls the map needs. */
EQX_API void EQX_STDCALL TQMAP(const char* option, int32_t option_len, const int32_t* phase,
                               const int32_t* constituent, const double* limits,
                               int32_t* calls_left, int32_t* error);
EQX_API void EQX_STDCALL TQMAPL(const char* option, int32_t option_len, const int32_t* phase,
                                const int32_t* constituent, const double* limits,
                                int32_t* calls_left, int32_t* error);

/* --- test hooks (stand-in only; not routines of the Equilex library) ------------------------- */

/* How output texts end: 0 (the default) a NUL after the text when there is room, 1 blank padding
 * to the full length. Other values are ignored. */
EQX_API void eqx_standin_set_padding(int32_t mode);
EQX_API int32_t eqx_standin_padding(void);
/* Back to the state of a freshly loaded image: every unit closed, no data, not initialised
 * (TQINI needed again), NUL padding. Lets tests that share one image start from scratch. */
EQX_API void eqx_standin_reset(void);
/* Reports error number code as a failing routine does: it becomes the current message (TQERR)
 * and is written to the ERROR unit. Lets tests reach every message text, however long. */
EQX_API void eqx_standin_report(int32_t code);
/* How many single equilibria this image has calculated since it was loaded (never reset): a
 * calculation, each point a target or a map tries. Lets benchmarks and tests count what a
 * routine costs without timing it. */
EQX_API int64_t eqx_standin_equilibria(void);
/* Every routine and hook takes the image's one library lock for its whole body. These two hold
 * it across calls (the same thread must release it), so a test can see that a routine called
 * from another thread waits for it. */
EQX_API void eqx_standin_hold_lock(void);
EQX_API void eqx_standin_release_lock(void);

#ifdef __cplusplus
}
#endif

/* Every routine as X(NAME, number of C arguments), in alphabetical order. On 32-bit Windows the
 * export is _NAME@(4 * number of C arguments). */
#define EQX_ROUTINES(X) \
    X(TQBOND, 7)        \
    X(TQCDAT, 7)        \
    X(TQCE, 6)          \
    X(TQCEL, 6)         \
    X(TQCEN, 6)         \
    X(TQCENL, 6)        \
    X(TQCHAR, 4)        \
    X(TQCIO, 4)         \
    X(TQCLIM, 4)        \
    X(TQCLOS, 2)        \
    X(TQCNSC, 4)        \
    X(TQCONF, 6)        \
    X(TQCPRT, 1)        \
    X(TQCSC, 3)         \
    X(TQCSP, 4)         \
    X(TQCSPC, 5)        \
    X(TQCSU, 5)         \
    X(TQERR, 3)         \
    X(TQGDAT, 8)        \
    X(TQGDPC, 6)        \
    X(TQGETR, 6)        \
    X(TQGIO, 4)         \
    X(TQGNLC, 6)        \
    X(TQGNP, 4)         \
    X(TQGNPC, 5)        \
    X(TQGNSC, 4)        \
    X(TQGPAR, 8)        \
    X(TQGSP, 4)         \
    X(TQGSPC, 5)        \
    X(TQGSU, 5)         \
    X(TQGTLC, 5)        \
    X(TQINI, 1)         \
    X(TQINLC, 6)        \
    X(TQINP, 4)         \
    X(TQINPC, 5)        \
    X(TQINSC, 4)        \
    X(TQLPAR, 8)        \
    X(TQMAP, 7)         \
    X(TQMAPL, 7)        \
    X(TQMODL, 4)        \
    X(TQNOLC, 4)        \
    X(TQNOP, 2)         \
    X(TQNOPC, 3)        \
    X(TQNOSC, 2)        \
    X(TQNOSL, 3)        \
    X(TQOPEN, 4)        \
    X(TQOPNA, 4)        \
    X(TQOPNB, 4)        \
    X(TQOPNT, 4)        \
    X(TQPCIS, 4)        \
    X(TQRBIN, 1)        \
    X(TQRCST, 1)        \
    X(TQREMC, 2)        \
    X(TQRFIL, 1)        \
    X(TQSETC, 7)        \
    X(TQSHOW, 1)        \
    X(TQSIZE, 12)       \
    X(TQSTCA, 6)        \
    X(TQSTEC, 5)        \
    X(TQSTPC, 5)        \
    X(TQSTRM, 3)        \
    X(TQSTSC, 4)        \
    X(TQSTTP, 4)        \
    X(TQSTXP, 6)        \
    X(TQUSED, 12)       \
    X(TQVERS, 2)        \
    X(TQWASC, 3)

#endif /* EQUILEX_H */

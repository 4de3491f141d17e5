// Potentials that the assemblage does not fix, placed by linear programmes over the
// activities of the phases outside it; and those of components with no input.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "equilibrium/linear_programme.hpp"
#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The phases that must stay below activity 1 while free potentials are placed: every phase
// outside the assemblage, DORMANT ones included.
std::vector<int> Minimiser::outside_phases() const {
    std::vector<int> result;
    for (int p = 0; p < count_; ++p) {
        const Role role = full_.phases[p].role;
        if (role == Role::observed || (role == Role::balanced && !is_active(p)))
            result.push_back(p);
    }
    return result;
}

// The directions of the potentials that no species of the assemblage or reservoir fixes.
MatrixXd Minimiser::free_directions() const {
    // The null space of the rows (the formulas of the active species and the reservoirs):
    // eigenvectors of their Gram matrix with eigenvalue ~0.
    MatrixXd& gram = newton_.gram;
    gram.setZero(k_, k_);
    int rows = 0;
    for (int p : active_) {
        const CalculatedPhase& phase = balance_.phases[p];
        for (int j = 0; j < phase.size(); ++j, ++rows)
            gram.noalias() += phase.stoichiometry.col(j) * phase.stoichiometry.col(j).transpose();
    }
    for (const Reservoir& r : reservoirs_) {
        gram.noalias() += r.stoichiometry * r.stoichiometry.transpose();
        ++rows;
    }
    if (rows == 0) return MatrixXd::Identity(k_, k_);
    Eigen::SelfAdjointEigenSolver<MatrixXd>& eigen = newton_.gram_eigen;
    eigen.compute(gram);
    const VectorXd& values = eigen.eigenvalues();  // ascending
    const double top = std::max(values.cwiseAbs().maxCoeff(), 1.0);
    int free = 0;
    // Rounding leaves an exact null direction an eigenvalue of about 1e-16 of the largest.
    while (free < k_ && values[free] <= 1e-12 * top) ++free;
    return eigen.eigenvectors().leftCols(free);
}

// The potentials that the equilibrium leaves free. Those of components without input whose
// species cannot hold matter (exclude_unreachable) stand for minus infinity: while the others are
// placed they are far out of the way, then they are placed on their own
// (place_zero_input_potentials). `free` are the free directions of the assemblage as it is
// (free_directions(), which the iteration has at hand).
void Minimiser::place_potentials(const MatrixXd& free) {
    const MatrixXd& d = zero_directions_;
    const int q = static_cast<int>(d.cols());
    // Potentials written as zeta_ = rest + d c, rest orthogonal to the directions.
    Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod;
    if (q > 0) {
        cod.compute(d);
        zeta_ -= d * cod.solve(zeta_);
        zeta_ -= far_potential * d * VectorXd::Ones(q);
    }
    MatrixXd z = free;
    if (z.cols() > 0 && q > 0) {
        // The free directions apart from those.
        const MatrixXd projected = z - d * cod.solve(z);
        Eigen::JacobiSVD<MatrixXd> svd(projected, Eigen::ComputeThinU);
        int rank = 0;
        while (rank < svd.singularValues().size() && svd.singularValues()[rank] > 1e-9) ++rank;
        z = svd.matrixU().leftCols(rank);
    }
    if (z.cols() > 0) place_free_potentials(z, outside_phases());
    if (q > 0) place_zero_input_potentials();
}

// A component without input whose species cannot hold matter has no potential of its own (minus
// infinity for an ideal mixture); it is given the one nearest zero at which every species that
// holds it - of any phase, in the assemblage or not - has an activity of at most e^-50 against
// the other potentials. One linear programme places all such components at once.
void Minimiser::place_zero_input_potentials() {
    const MatrixXd& d = zero_directions_;
    const int q = static_cast<int>(d.cols());
    Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod(d);
    const VectorXd rest = zeta_ - d * cod.solve(zeta_);
    std::vector<VectorXd> rows;
    std::vector<double> limits;
    const double ln_pressure = std::log(full_.pressure_bar());
    // Each species, the phases' and their DORMANT constituents' (reported, though they never
    // hold matter; a component whose every holder is DORMANT kept the potential 0 without them,
    // and they were reported at activities up to 1e11).
    const auto add = [&](const MatrixXd& stoichiometry, const VectorXd& g, bool gas) {
        for (int j = 0; j < stoichiometry.cols(); ++j) {
            const VectorXd a = stoichiometry.col(j);
            const VectorXd along = d.transpose() * a;
            if (along.cwiseAbs().maxCoeff() <= 1e-12 * std::max(1.0, a.cwiseAbs().maxCoeff()))
                continue;
            bool unreachable = false;
            for (int i = 0; i < q; ++i) unreachable = unreachable || unreachable_along(a, d.col(i));
            // A gas constituent's activity is its fugacity against 1 bar, as reported: g holds
            // ln(P / 1 bar) beside its standard Gibbs energy.
            const double standard = g[j] - (gas ? ln_pressure : 0.0);
            rows.push_back(along);
            limits.push_back((unreachable ? zero_input_ln_activity : 0.0) -
                             (a.dot(rest) - standard));
        }
    };
    for (const CalculatedPhase& phase : full_.phases) {
        add(phase.dormant_stoichiometry, phase.dormant_g, phase.gas);
        if (phase.role != Role::absent) add(phase.stoichiometry, phase.g, phase.gas);
    }
    // Variables: u, v >= 0 with c = u - v, then one slack per species.
    const int m = static_cast<int>(rows.size());
    MatrixXd a = MatrixXd::Zero(m, 2 * q + m);
    VectorXd b(m), cost = VectorXd::Zero(2 * q + m);
    cost.head(2 * q).setOnes();
    for (int i = 0; i < m; ++i) {
        a.block(i, 0, 1, q) = rows[i].transpose();
        a.block(i, q, 1, q) = -rows[i].transpose();
        a(i, 2 * q + i) = 1.0;
        b[i] = limits[i];
    }
    const LinearSolution lp = solve_linear_programme(a, b, cost);
    VectorXd c = -far_potential * VectorXd::Ones(q);
    if (lp.status == LinearSolution::Status::optimal) c = lp.x.head(q) - lp.x.segment(q, q);
    zeta_ = rest + d * c;
}

namespace {

// What the placement of the free potentials s (zeta = base + z s) must respect: each condition
// is a ln a (of a constituent as a pure end member, linear in s; or of a mixture, convex in s)
// held at most at the level t that the placement makes as low as it can, or at most at a fixed
// bound.
struct Condition {
    double value = 0.0;  // at s
    VectorXd gradient;   // in s
    MatrixXd hessian;    // in s; empty where the value is linear
    double bound = 0.0;  // the level, or the fixed bound
    bool level = false;
};

class Placement {
  public:
    // A non-ideal mixture's tangent plane at the potentials (with its sensitivity, asked).
    using MixturePlane = std::function<TangentPlane(int, const VectorXd&, bool)>;

    // How the phases enter: the usual placement makes the largest end-member activity of the
    // `levelled` phases lowest, each mixture among them capped at activity 1; a phase's
    // `least` one makes that phase's own activity lowest under the other phases' caps.
    enum class Use { levelled, capped, least };

    Placement(const CalculatedSystem& system, const VectorXd& base, const MatrixXd& z,
              MixturePlane nonideal_plane)
        : system_(system), base_(base), z_(z), nonideal_plane_(std::move(nonideal_plane)) {}

    // The phase's conditions: `bound` is the fixed one of a capped phase.
    void add(int p, Use use, double bound = 0.0) {
        const CalculatedPhase& phase = system_.phases[p];
        const bool pure = phase.kind == CalculatedPhase::Kind::pure;
        if (use == Use::levelled || pure) {
            for (int j = 0; j < phase.size(); ++j) {
                const VectorXd& a = phase.stoichiometry.col(j);
                linear_.push_back(
                    {z_.transpose() * a,
                     a.dot(base_) -
                         reduced_gibbs_energy(system_, phase, VectorXd::Unit(phase.size(), j)),
                     use != Use::capped, use == Use::capped ? bound : 0.0});
            }
        }
        if (!pure) mixtures_.push_back({p, use == Use::least, use == Use::capped ? bound : 0.0});
    }

    int r() const { return static_cast<int>(z_.cols()); }

    // Every condition at s, the linear ones first, then the mixtures, into `result`, whose
    // conditions keep their storage from one call to the next (the searches below evaluate
    // them at every step).
    void at(const VectorXd& s, double level, std::vector<Condition>& result) const {
        result.resize(linear_.size() + mixtures_.size());
        std::size_t i = 0;
        for (const Linear& l : linear_) {
            Condition& c = result[i++];
            c.value = l.offset + l.gradient.dot(s);
            c.gradient = l.gradient;
            c.hessian.resize(0, 0);
            c.level = l.level;
            c.bound = l.level ? level : l.bound;
        }
        for (const Mixture& m : mixtures_) {
            const TangentPlane& plane = plane_at(m.phase, s, true);
            Condition& c = result[i++];
            c.value = plane.ln_activity;
            c.gradient.noalias() = z_.transpose() * plane.m;
            projected_.noalias() = z_.transpose() * plane.sensitivity;
            c.hessian.noalias() = projected_ * z_;
            c.level = m.level;
            c.bound = m.level ? level : m.bound;
        }
    }

    // The values alone of conditions that `at` wrote, at another s (the level as it was).
    void values_at(const VectorXd& s, std::vector<Condition>& result) const {
        std::size_t i = 0;
        for (const Linear& l : linear_) result[i++].value = l.offset + l.gradient.dot(s);
        for (const Mixture& m : mixtures_)
            result[i++].value = plane_at(m.phase, s, false).ln_activity;
    }

    // How far the mixtures' conditions, and all of them, lie above their bounds.
    double mixtures_over(const std::vector<Condition>& at) const {
        double top = -std::numeric_limits<double>::infinity();
        for (std::size_t i = linear_.size(); i < at.size(); ++i)
            top = std::max(top, at[i].value - at[i].bound);
        return top;
    }

    static double over(const std::vector<Condition>& at) {
        double top = -std::numeric_limits<double>::infinity();
        for (const Condition& c : at) top = std::max(top, c.value - c.bound);
        return top;
    }

    // The lowest level: a linear programme over the linear conditions and cutting planes on
    // the mixtures, then, where a mixture bounds it, Newton's method on the optimum's
    // conditions. Returns the level (at least floor) and s at it, or false.
    bool lowest_level(double floor, VectorXd& s, double& level) const {
        const int n = r();
        struct Cut {
            VectorXd gradient;
            double offset;  // the cut: gradient . s + offset <= bound (the level, or fixed)
            bool level;
            double bound;
        };
        std::vector<Cut> cuts;
        for (const Linear& l : linear_) cuts.push_back({l.gradient, l.offset, l.level, l.bound});
        const std::size_t linear = cuts.size();
        constexpr double box = 1e4;
        bool found = false;
        for (int round = 0; round < 30; ++round) {
            // Variables: s+ (n), s- (n), t - floor, a slack per row. Rows: cuts, box.
            const int rows = static_cast<int>(cuts.size()) + 2 * n;
            const int columns = 2 * n + 1 + rows;
            MatrixXd a = MatrixXd::Zero(rows, columns);
            VectorXd b(rows), cost = VectorXd::Zero(columns);
            cost[2 * n] = 1.0;
            int row = 0;
            for (const Cut& cut : cuts) {
                a.block(row, 0, 1, n) = cut.gradient.transpose();
                a.block(row, n, 1, n) = -cut.gradient.transpose();
                if (cut.level) a(row, 2 * n) = -1.0;
                b[row] = (cut.level ? floor : cut.bound) - cut.offset;
                ++row;
            }
            for (int i = 0; i < 2 * n; ++i, ++row) {
                a(row, i) = 1.0;
                b[row] = box;
            }
            for (int i = 0; i < rows; ++i) a(i, 2 * n + 1 + i) = 1.0;
            const LinearSolution lp = solve_linear_programme(a, b, cost);
            if (lp.status != LinearSolution::Status::optimal) break;
            s = lp.x.head(n) - lp.x.segment(n, n);
            level = lp.x[2 * n] + floor;
            found = true;
            std::vector<Condition>& here = here_;
            at(s, level, here);
            const double excess = mixtures_over(here);
            if (!(excess > 1e-12)) return true;  // the relaxation's optimum meets every mixture
            if (round >= 4 && excess < 1e-3) break;
            for (std::size_t i = linear; i < here.size(); ++i)
                if (here[i].value > here[i].bound)
                    cuts.push_back({here[i].gradient, here[i].value - here[i].gradient.dot(s),
                                    here[i].level, here[i].level ? 0.0 : here[i].bound});
        }
        return found && polish(floor, s, level);
    }

    // Newton's method on the conditions of the lowest level where mixtures bound it: the
    // conditions at their bounds, sum lambda_i grad_i = 0 with the levels' multipliers summing
    // to 1, all of them >= 0 (a condition with a negative one leaves, one that rises above its
    // bound joins).
    bool polish(double floor, VectorXd& s, double& level) const {
        const int n = r();
        std::vector<Condition>& here = here_;
        at(s, level, here);
        std::vector<int> active;
        for (int i = 0; i < static_cast<int>(here.size()); ++i)
            if (here[i].value > here[i].bound - 1e-6) active.push_back(i);
        VectorXd multipliers = VectorXd::Zero(static_cast<int>(active.size()));
        for (int iteration = 0; iteration < 40; ++iteration) {
            const int a = static_cast<int>(active.size());
            const int size = n + 1 + a;  // the step, the level, the multipliers
            MatrixXd& m = kkt_;
            VectorXd& rhs = kkt_rhs_;
            m.setZero(size, size);
            rhs.setZero(size);
            for (int i = 0; i < a; ++i) {
                const Condition& c = here[active[i]];
                m.block(n + 1 + i, 0, 1, n) = c.gradient.transpose();
                if (c.level) m(n + 1 + i, n) = -1.0;
                rhs[n + 1 + i] = -(c.value - c.bound);
                m.block(0, n + 1 + i, n, 1) = c.gradient;
                if (c.level) m(n, n + 1 + i) = 1.0;
                // A mixture's curvature at full weight while its multiplier is still small:
                // where nothing else curves (the level is linear) the step would otherwise
                // follow the mixture's tangent plane, one e-fold of its minor species at a time.
                if (c.hessian.size() > 0)
                    m.topLeftCorner(n, n) += std::max(multipliers[i], 1.0) * c.hessian;
            }
            rhs[n] = 1.0;
            const VectorXd& solution = least_change();
            if (!solution.allFinite()) return false;
            VectorXd& next = next_;
            next = solution.tail(a);
            if (leave(next, here, active, multipliers, multipliers)) continue;
            VectorXd& step = step_;
            step = solution.head(n);
            s += step;
            level += solution[n];
            multipliers = next;
            at(s, level, here);
            bool joined = false;
            for (int i = 0; i < static_cast<int>(here.size()); ++i) {
                if (std::find(active.begin(), active.end(), i) != active.end()) continue;
                if (here[i].value > here[i].bound + 1e-12) {
                    active.push_back(i);
                    multipliers.conservativeResize(multipliers.size() + 1);
                    multipliers[multipliers.size() - 1] = 0.0;
                    joined = true;
                }
            }
            if (!joined && step.cwiseAbs().maxCoeff() < 1e-13 && std::abs(solution[n]) < 1e-13)
                break;
        }
        if (level < floor) {
            level = floor;
            at(s, level, here);
        }
        return over(here) <= 1e-10;
    }

    // The s with base + z s nearest to zero (least sum of squares) that meets every condition
    // at `level`, from an s that meets them: an active-set method, Newton's method on the
    // conditions at their bounds, a step cut where another condition reaches its bound.
    void nearest(double level, VectorXd& s) const {
        const int n = r();
        const VectorXd start = s;
        constexpr double tolerance = 1e-10;
        auto meets = [&](const std::vector<Condition>& conditions) {
            for (const Condition& c : conditions)
                if (!(c.value <= c.bound + tolerance)) return false;
            return true;
        };
        std::vector<Condition>& here = here_;
        std::vector<Condition>& there = there_;
        at(s, level, here);
        if (!meets(here)) return;
        std::vector<int> active;
        for (int i = 0; i < static_cast<int>(here.size()); ++i)
            if (here[i].value > here[i].bound - tolerance) active.push_back(i);
        VectorXd multipliers = VectorXd::Zero(static_cast<int>(active.size()));
        const VectorXd anchor = z_.transpose() * base_;
        // The active sets and multipliers met since s last moved. One that comes round again
        // is a cycle, s held where it is: a condition leaves by its multiplier, the step is
        // blocked at no room by it and it joins again (calcite alone at 776 K: CO2 and CaO at
        // the level, their gradients opposite). Each step is a function of these alone, so the
        // iterations left would only go round it.
        std::vector<std::pair<std::vector<int>, VectorXd>> unmoved;
        std::vector<int> lifted;
        for (int iteration = 0; iteration < 60; ++iteration) {
            const auto seen = std::find_if(unmoved.begin(), unmoved.end(), [&](const auto& state) {
                return state.first == active && state.second.size() == multipliers.size() &&
                       state.second == multipliers;
            });
            if (seen != unmoved.end()) break;
            unmoved.emplace_back(active, multipliers);
            const int a = static_cast<int>(active.size());
            MatrixXd& m = kkt_;
            VectorXd& rhs = kkt_rhs_;
            m.setZero(n + a, n + a);
            rhs.setZero(n + a);
            m.topLeftCorner(n, n).setIdentity();
            rhs.head(n) = -(anchor + s);
            for (int i = 0; i < a; ++i) {
                const Condition& c = here[active[i]];
                if (c.hessian.size() > 0)
                    m.topLeftCorner(n, n) += std::max(multipliers[i], 1.0) * c.hessian;
                m.block(0, n + i, n, 1) = c.gradient;
                m.block(n + i, 0, 1, n) = c.gradient.transpose();
                rhs[n + i] = c.bound - c.value;
            }
            const VectorXd& solution = least_change();
            if (!solution.allFinite()) break;
            VectorXd& step = step_;
            VectorXd& next = next_;
            step = solution.head(n);
            next = solution.tail(a);
            if (leave(next, here, active, next, multipliers)) continue;
            // A step of rounding size: s is the nearest point. (Taken, it would be blocked by a
            // condition that left at no room, which joins again, and so on without end.)
            if (step.cwiseAbs().maxCoeff() < 1e-12) break;
            // As far as the conditions outside the active set allow (linearised).
            double alpha = 1.0;
            int blocking = -1;
            for (int i = 0; i < static_cast<int>(here.size()); ++i) {
                if (std::find(active.begin(), active.end(), i) != active.end()) continue;
                const double rise = here[i].gradient.dot(step);
                if (rise <= 0.0) continue;
                const double room = std::max(here[i].bound - here[i].value, 0.0) / rise;
                if (room < alpha) {
                    alpha = room;
                    blocking = i;
                }
            }
            // Curvature may lift a condition above its bound where the linearisation kept it
            // below: the step is halved until every condition is met, the first one met with
            // least room joining the active set. The halvings ask only the values (along the
            // gas's curved cap they run to dozens a step); the point taken gets its
            // derivatives.
            VectorXd& trial = trial_;
            trial = s + alpha * step;
            at(trial, level, there);
            lifted.clear();
            int halvings = 0;
            for (; halvings < 40 && !meets(there); ++halvings) {
                for (int i = 0; i < static_cast<int>(there.size()); ++i)
                    if (!(there[i].value <= there[i].bound + tolerance) &&
                        std::find(lifted.begin(), lifted.end(), i) == lifted.end())
                        lifted.push_back(i);
                alpha *= 0.5;
                trial = s + alpha * step;
                values_at(trial, there);
            }
            if (!meets(there)) break;
            if (halvings > 0) at(trial, level, there);
            if (trial != s) unmoved.clear();
            s = trial;
            multipliers = next;
            std::swap(here, there);
            bool joined = false;
            for (int i = 0; i < static_cast<int>(here.size()); ++i) {
                if (std::find(active.begin(), active.end(), i) != active.end()) continue;
                const bool was_lifted = std::find(lifted.begin(), lifted.end(), i) != lifted.end();
                // The condition that blocked the step, where the step reached it (not halved
                // short of it for another's curvature: far below its bound, it is no bound yet).
                const bool reached = i == blocking && lifted.empty();
                if (reached || was_lifted || here[i].value > here[i].bound + 1e-12) {
                    active.push_back(i);
                    multipliers.conservativeResize(multipliers.size() + 1);
                    multipliers[multipliers.size() - 1] = 0.0;
                    joined = true;
                }
            }
            if (!joined && alpha * step.cwiseAbs().maxCoeff() < 1e-13) break;
        }
        // Only a point that meets the conditions is taken.
        if (!meets(here)) s = start;
    }

  private:
    // The least-norm solution of the square system kkt_ x = kkt_rhs_, which may be singular,
    // into solution_.
    const VectorXd& least_change() const {
        // The threshold before the decomposition: the rank it finds shapes the factors, and a
        // rank lowered afterwards would have the solve read factors never computed.
        cod_.setThreshold(1e-12);
        cod_.compute(kkt_);
        solution_ = cod_.solve(kkt_rhs_);
        return solution_;
    }

    // Mixture p's tangent plane at zeta = base + z s; an ideal one's in closed form, in place.
    const TangentPlane& plane_at(int p, const VectorXd& s, bool sensitivity) const {
        zeta_at_.noalias() = z_ * s;
        zeta_at_ += base_;
        const CalculatedPhase& phase = system_.phases[p];
        if (phase.kind != CalculatedPhase::Kind::ideal) {
            plane_ = nonideal_plane_(p, zeta_at_, sensitivity);
            return plane_;
        }
        w_at_.noalias() = phase.stoichiometry.transpose() * zeta_at_;
        w_at_ -= phase.g;
        if (sensitivity) {
            ideal_tangent_plane(phase, w_at_, true, plane_);
        } else {
            plane_.ln_activity = log_sum_exp(w_at_);
        }
        return plane_;
    }

    // Takes out of the active set the condition that leaves by its multiplier `next` (the most
    // negative), keeping the others' multipliers from `kept` (at least zero); false if none
    // leaves. A condition leaves only where it is met: one that curvature has lifted above its
    // bound stays until the step brings it back.
    static bool leave(const VectorXd& next, const std::vector<Condition>& here,
                      std::vector<int>& active, const VectorXd& kept, VectorXd& multipliers) {
        const int a = static_cast<int>(active.size());
        int leaving = -1;
        for (int i = 0; i < a; ++i)
            if (next[i] < -1e-12 && here[active[i]].value <= here[active[i]].bound + 1e-12 &&
                (leaving < 0 || next[i] < next[leaving]))
                leaving = i;
        if (leaving < 0) return false;
        active.erase(active.begin() + leaving);
        VectorXd remaining(a - 1);
        for (int i = 0, j = 0; i < a; ++i)
            if (i != leaving) remaining[j++] = std::max(kept[i], 0.0);
        multipliers = remaining;
        return true;
    }

    struct Linear {
        VectorXd gradient;
        double offset;  // the value at s = 0
        bool level;
        double bound;
    };
    struct Mixture {
        int phase;
        bool level;
        double bound;
    };

    const CalculatedSystem& system_;
    VectorXd base_;
    MatrixXd z_;
    MixturePlane nonideal_plane_;
    // The tangent plane of the last mixture evaluated and the storage it is computed in (the
    // searches evaluate the mixtures at every step and halving).
    mutable VectorXd zeta_at_, w_at_;
    mutable TangentPlane plane_;
    mutable MatrixXd projected_;
    // The conditions where a search stands and at its trial point, and the searches' linear
    // systems, their decomposition and solution, and the trial point of a step: kept from one
    // step (and search) to the next.
    mutable std::vector<Condition> here_, there_;
    mutable MatrixXd kkt_;
    mutable VectorXd kkt_rhs_, solution_, step_, next_, trial_;
    mutable Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod_;
    std::vector<Linear> linear_;
    std::vector<Mixture> mixtures_;
};

}  // namespace

// Places the free potentials where the largest activity of a constituent of the phases
// outside the assemblage (DORMANT ones included, each constituent as a pure end member) is
// smallest, but not below e^-50, while every such phase stays at activity 1 or below; among
// equally good places, the potentials nearest zero (least sum of squares). The result depends
// on the state alone, not on where the iteration started.
//
// The phase a formation target keeps out (MinimiserOptions::least_activity_phase) is placed
// first, at the lowest activity the other phases outside allow: the one the equilibrium
// implies, as it forms only where it must. The others are then placed as above with it held
// there.
void Minimiser::place_free_potentials(const MatrixXd& z, const std::vector<int>& outside) {
    std::vector<int> dependent;
    for (int p : outside) {
        const MatrixXd projected = z.transpose() * full_.phases[p].stoichiometry;
        if (projected.cwiseAbs().maxCoeff() > 1e-12) dependent.push_back(p);
    }
    if (dependent.empty()) return;
    const auto nonideal_plane = [&](int p, const VectorXd& zeta, bool sensitivity) {
        return full_activity(p, zeta, sensitivity);
    };
    int least = options_.least_activity_phase;
    if (std::find(dependent.begin(), dependent.end(), least) == dependent.end()) least = -1;
    VectorXd s = VectorXd::Zero(z.cols());
    double least_level = 0.0;
    if (least >= 0) {
        Placement first(full_, zeta_, z, nonideal_plane);
        for (int p : dependent)
            first.add(p, p == least ? Placement::Use::least : Placement::Use::capped);
        // Where the others admit no place (on the way to the equilibrium), the usual one.
        if (!first.lowest_level(-potential_box, s, least_level)) least = -1;
    }
    Placement placement(full_, zeta_, z, nonideal_plane);
    for (int p : dependent)
        placement.add(p, p == least ? Placement::Use::capped : Placement::Use::levelled,
                      least_level + 1e-9);
    double level = least_level;
    if (dependent.size() > 1 || least < 0) {
        // Held at its lowest activity, the phase may leave the others next to no room (where it
        // and a mixture bound the same direction from either side): the first placement
        // stands then.
        VectorXd levelled = s;
        double found = 0.0;
        if (placement.lowest_level(-potential_box, levelled, found)) {
            s = levelled;
            level = found;
        } else if (least < 0) {
            return;
        }
    }
    placement.nearest(level + 1e-12, s);
    zeta_ += z * s;
}

}  // namespace eqx::equilibrium

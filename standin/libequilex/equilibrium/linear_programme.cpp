#include "equilibrium/linear_programme.hpp"

#include <cmath>
#include <vector>

namespace eqx::equilibrium {

namespace {

// A dense tableau with artificial variables for phase 1. Pricing takes the most negative
// reduced cost (Dantzig); after a run of degenerate pivots it takes the first negative one
// (Bland), which cannot cycle. The ratio test prefers, among rows that tie, the largest pivot.
// The columns come scaled to unit size; `unscale` holds each column's factor back to its
// caller's units, by which its reduced cost is judged (costs of columns scaled down by a
// trace's large row still count).
class Tableau {
  public:
    Tableau(const Eigen::MatrixXd& a, const Eigen::VectorXd& b, const Eigen::VectorXd& unscale)
        : a_(a),
          b_(b),
          unscale_(unscale),
          rows_(static_cast<int>(a.rows())),
          columns_(static_cast<int>(a.cols())) {
        t_ = RowMajorMatrix::Zero(rows_ + 1, columns_ + rows_ + 1);
        sign_ = Eigen::VectorXd::Ones(rows_);
        basis_.resize(rows_);
        for (int i = 0; i < rows_; ++i) {
            if (b[i] < 0.0) sign_[i] = -1.0;
            t_.row(i).head(columns_) = sign_[i] * a.row(i);
            t_(i, columns_ + i) = 1.0;
            t_(i, rhs()) = sign_[i] * b[i];
            basis_[i] = columns_ + i;
        }
        scale_ = std::max(1.0, a.cwiseAbs().maxCoeff());
        rhs_scale_ = std::max(1.0, b.cwiseAbs().maxCoeff());
        limit_ = 50 * (rows_ + columns_) + 100;
    }

    // Phase 1: the sum of the artificial variables down to 0.
    LinearSolution::Status find_feasible() {
        set_objective(Eigen::VectorXd::Zero(columns_), true);
        const LinearSolution::Status status = optimise(true);
        if (status != LinearSolution::Status::optimal) return status;
        const double size = std::max(1.0, b_.cwiseAbs().maxCoeff());
        if (-t_(rows_, rhs()) > 1e-9 * size) return LinearSolution::Status::infeasible;
        // Artificials still basic at level 0: pivot them out where an original column allows.
        for (int i = 0; i < rows_; ++i) {
            if (basis_[i] < columns_) continue;
            int best = -1;
            for (int j = 0; j < columns_; ++j)
                if (std::abs(t_(i, j)) > 1e-9 * scale_ &&
                    (best < 0 || std::abs(t_(i, j)) > std::abs(t_(i, best))))
                    best = j;
            if (best >= 0) pivot(i, best);
        }
        return LinearSolution::Status::optimal;
    }

    LinearSolution::Status minimise(const Eigen::VectorXd& c) {
        cost_ = c;
        set_objective(c, false);
        return optimise(false);
    }

    // The solution and the duals recomputed from the final basis, free of the rounding the
    // pivots accumulated.
    void solution(Eigen::VectorXd& x, Eigen::VectorXd& y) const {
        Eigen::MatrixXd basis(rows_, rows_);
        Eigen::VectorXd cb(rows_);
        for (int i = 0; i < rows_; ++i) {
            const int j = basis_[i];
            if (j < columns_) {
                basis.col(i) = a_.col(j);
                cb[i] = cost_[j];
            } else {
                basis.col(i) = Eigen::VectorXd::Unit(rows_, j - columns_);
                cb[i] = 0.0;
            }
        }
        Eigen::FullPivLU<Eigen::MatrixXd> lu(basis);
        x = Eigen::VectorXd::Zero(columns_);
        if (lu.isInvertible()) {
            const Eigen::VectorXd xb = lu.solve(b_);
            for (int i = 0; i < rows_; ++i)
                if (basis_[i] < columns_) x[basis_[i]] = std::max(0.0, xb[i]);
            y = lu.transpose().solve(cb);
            return;
        }
        for (int i = 0; i < rows_; ++i)
            if (basis_[i] < columns_) x[basis_[i]] = std::max(0.0, t_(i, rhs()));
        const Eigen::VectorXd ys = t_.block(0, columns_, rows_, rows_).transpose() * cb;
        y = ys.cwiseProduct(sign_);
    }

  private:
    int rhs() const { return columns_ + rows_; }

    void set_objective(const Eigen::VectorXd& c, bool artificial) {
        t_.row(rows_).setZero();
        if (artificial) {
            for (int i = 0; i < rows_; ++i) t_(rows_, columns_ + i) = 1.0;
        } else {
            t_.row(rows_).head(columns_) = c.transpose();
        }
        for (int i = 0; i < rows_; ++i) {
            const double cj = t_(rows_, basis_[i]);
            if (cj != 0.0) t_.row(rows_) -= cj * t_.row(i);
        }
    }

    LinearSolution::Status optimise(bool artificial) {
        const int candidates = artificial ? columns_ + rows_ : columns_;
        // Reduced costs are judged against the costs themselves (1 for the artificial sum), so
        // that a small cost that breaks ties still counts.
        const double cost_scale =
            artificial ? 1.0 : std::max(1.0, cost_.cwiseProduct(unscale_).cwiseAbs().maxCoeff());
        auto judged = [&](int j) {
            return artificial || j >= columns_ ? t_(rows_, j) : t_(rows_, j) * unscale_[j];
        };
        int degenerate = 0;
        bool refreshed = false;
        while (iterations_++ < limit_) {
            const bool bland = degenerate > 2 * (rows_ + 5);
            int entering = -1;
            for (int j = 0; j < candidates; ++j) {
                const double reduced = t_(rows_, j);
                if (judged(j) >= -1e-12 * cost_scale) continue;
                if (bland) {
                    entering = j;
                    break;
                }
                if (entering < 0 || reduced < t_(rows_, entering)) entering = j;
            }
            if (entering < 0) return LinearSolution::Status::optimal;
            int leaving = -1;
            double best = 0.0;
            for (int i = 0; i < rows_; ++i) {
                const double coefficient = t_(i, entering);
                if (coefficient <= 1e-10 * scale_) continue;
                const double ratio = std::max(0.0, t_(i, rhs())) / coefficient;
                const double tie = 1e-12 * std::max(1.0, std::abs(best));
                bool take = leaving < 0 || ratio < best - tie;
                if (!take && ratio <= best + tie)
                    take =
                        bland ? basis_[i] < basis_[leaving] : coefficient > t_(leaving, entering);
                if (take) {
                    leaving = i;
                    best = ratio;
                }
            }
            if (leaving < 0) {
                // The phase-1 objective is bounded below by 0, and a barely negative reduced
                // cost is rounding: both mean there is nothing left to gain.
                if (artificial || judged(entering) > -1e-7 * cost_scale)
                    return LinearSolution::Status::optimal;
                // The pivots' rounding can make a nearly singular basis (columns that differ
                // only in traces) show a way down without end: the tableau is computed again
                // from the basis itself before the programme counts as unbounded.
                if (!refreshed && refresh()) {
                    refreshed = true;
                    continue;
                }
                return LinearSolution::Status::unbounded;
            }
            refreshed = false;
            degenerate = best == 0.0 ? degenerate + 1 : 0;
            pivot(leaving, entering);
        }
        return LinearSolution::Status::iteration_limit;
    }

    // The tableau's rows anew from the original ones and the basis (the objective row from
    // them): false where the basis is singular.
    bool refresh() {
        Eigen::MatrixXd original = Eigen::MatrixXd::Zero(rows_, columns_ + rows_ + 1);
        for (int i = 0; i < rows_; ++i) {
            original.row(i).head(columns_) = sign_[i] * a_.row(i);
            original(i, columns_ + i) = 1.0;
            original(i, rhs()) = sign_[i] * b_[i];
        }
        Eigen::MatrixXd basis(rows_, rows_);
        for (int i = 0; i < rows_; ++i) basis.col(i) = original.col(basis_[i]);
        const Eigen::FullPivLU<Eigen::MatrixXd> lu(basis);
        if (!lu.isInvertible()) return false;
        const Eigen::MatrixXd rows = lu.solve(original);
        if (!rows.allFinite()) return false;
        t_.topRows(rows_) = rows;
        for (int i = 0; i < rows_; ++i)
            if (t_(i, rhs()) < 0.0 && t_(i, rhs()) > -1e-9 * rhs_scale_) t_(i, rhs()) = 0.0;
        set_objective(cost_, false);
        return true;
    }

    void pivot(int row, int column) {
        t_.row(row) /= t_(row, column);
        for (int i = 0; i <= rows_; ++i) {
            if (i == row) continue;
            const double factor = t_(i, column);
            if (factor != 0.0) t_.row(i) -= factor * t_.row(row);
        }
        basis_[row] = column;
        // Basic values a rounding below zero are zero.
        for (int i = 0; i < rows_; ++i)
            if (t_(i, rhs()) < 0.0 && t_(i, rhs()) > -1e-9 * rhs_scale_) t_(i, rhs()) = 0.0;
    }

    const Eigen::MatrixXd& a_;
    const Eigen::VectorXd& b_;
    const Eigen::VectorXd& unscale_;
    int rows_;
    int columns_;
    // Row-major: a pivot works along whole rows.
    using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    RowMajorMatrix t_;
    Eigen::VectorXd sign_;
    Eigen::VectorXd cost_;
    std::vector<int> basis_;
    double scale_ = 1.0;
    double rhs_scale_ = 1.0;
    int iterations_ = 0;
    int limit_ = 0;
};

}  // namespace

LinearSolution solve_linear_programme(const Eigen::MatrixXd& a, const Eigen::VectorXd& b,
                                      const Eigen::VectorXd& c) {
    LinearSolution result;
    if (a.rows() == 0 || a.cols() == 0) {
        // Nothing to choose from: feasible only for an input of nothing.
        const bool empty_input = b.size() == 0 || b.cwiseAbs().maxCoeff() == 0.0;
        result.status =
            empty_input ? LinearSolution::Status::optimal : LinearSolution::Status::infeasible;
        result.x = Eigen::VectorXd::Zero(a.cols());
        result.duals = Eigen::VectorXd::Zero(a.rows());
        return result;
    }
    // Columns scaled to unit size, so that the pivots' tolerances mean the same in each; the
    // duals are those of the caller's columns (A^T y <= c holds column by column either way).
    Eigen::VectorXd unscale(a.cols());
    for (int j = 0; j < a.cols(); ++j) {
        const double size = a.col(j).cwiseAbs().maxCoeff();
        unscale[j] = size > 0.0 ? size : 1.0;
    }
    const Eigen::MatrixXd scaled = a * unscale.cwiseInverse().asDiagonal();
    const Eigen::VectorXd scaled_cost = c.cwiseQuotient(unscale);
    Tableau tableau(scaled, b, unscale);
    result.status = tableau.find_feasible();
    if (result.status != LinearSolution::Status::optimal) return result;
    result.status = tableau.minimise(scaled_cost);
    if (result.status != LinearSolution::Status::optimal) return result;
    tableau.solution(result.x, result.duals);
    result.x = result.x.cwiseQuotient(unscale);
    return result;
}

}  // namespace eqx::equilibrium

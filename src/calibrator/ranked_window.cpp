#include "calibrator/ranked_window.hpp"

#include <limits>

#include "frame/memory_budget.hpp"

namespace morvik3::calibrator {

namespace {

Side other(Side s) { return s == left ? right : left; }

}  // namespace

RankCounts RankedWindow::counts(double value) const {
    const RankNode* n = nodes_.data();
    // One descent while no node equals `value`; from the first that does,
    // the scores below it lie to its left and those at most it to its right.
    // The descents pick a link with a select, not child[go_right]: the indexed
    // load costs a tenth of the throughput.
    RankCounts c;
    RankIndex x = root_;
    auto below = [&](RankIndex from, auto before) {
        std::uint64_t count = 0;
        while (from != 0) {
            const RankNode& d = n[from];
            const bool go_right = before(d.value);
            count += go_right ? n[d.child[left]].size + 1 : 0;
            from = go_right ? d.child[right] : d.child[left];
        }
        return count;
    };
    while (x != 0) {
        const RankNode& d = n[x];
        if (d.value == value) break;
        const bool go_right = d.value < value;
        c.below += go_right ? n[d.child[left]].size + 1 : 0;
        x = go_right ? d.child[right] : d.child[left];
    }
    if (x == 0) return c;
    const RankNode& d = n[x];
    const std::uint64_t under = c.below + below(d.child[left], [value](double v) { return v < value; });
    const std::uint64_t at_most = c.below + n[d.child[left]].size + 1 +
                                  below(d.child[right], [value](double v) { return v <= value; });
    return {under, at_most - under};
}

void RankedWindow::push(double value) {
    const RankIndex slot = next_;
    if (size() == capacity_) erase(slot);
    insert(slot, value);
    next_ = slot == capacity_ ? 1 : slot + 1;
}

double RankedWindow::at(std::uint64_t i) const {
    const std::uint64_t n = size();
    // Before the ring fills, slots hold the scores from 1 on; after, from next_ on.
    const std::uint64_t first = n < capacity_ ? 1 : next_;
    const std::uint64_t slot = first + i <= capacity_ ? first + i : first + i - capacity_;
    return nodes_[slot].value;
}

Side RankedWindow::side_of(RankIndex x) const { return nodes_[nodes_[x].parent].child[right] == x ? right : left; }

void RankedWindow::rotate(RankIndex x, Side side) {
    RankNode* n = nodes_.data();
    const Side up = other(side);
    const RankIndex y = n[x].child[up];
    n[x].child[up] = n[y].child[side];
    if (n[y].child[side] != 0) n[n[y].child[side]].parent = x;
    transplant(x, y);
    n[y].child[side] = x;
    n[x].parent = y;
    n[y].size = n[x].size;
    n[x].size = n[n[x].child[left]].size + n[n[x].child[right]].size + 1;
}

// Puts the subtree of v where the subtree of u was.
void RankedWindow::transplant(RankIndex u, RankIndex v) {
    RankNode* n = nodes_.data();
    const RankIndex p = n[u].parent;
    if (p == 0) {
        root_ = v;
    } else {
        n[p].child[side_of(u)] = v;
    }
    n[v].parent = p;
}

void RankedWindow::insert(RankIndex z, double value) {
    RankNode* n = nodes_.data();
    RankIndex parent = 0;
    for (RankIndex x = root_; x != 0; x = n[x].child[!(value < n[x].value)]) {
        parent = x;
        ++n[x].size;
    }
    n[z] = {value, 1, {0, 0}, parent, 1};
    if (parent == 0) {
        root_ = z;
    } else {
        n[parent].child[!(value < n[parent].value)] = z;
    }
    insert_fixup(z);
}

void RankedWindow::insert_fixup(RankIndex z) {
    RankNode* n = nodes_.data();
    while (n[n[z].parent].red != 0) {
        RankIndex p = n[z].parent;
        RankIndex g = n[p].parent;
        const Side side = side_of(p);
        const RankIndex uncle = n[g].child[other(side)];
        if (n[uncle].red != 0) {
            n[p].red = 0;
            n[uncle].red = 0;
            n[g].red = 1;
            z = g;
            continue;
        }
        if (z == n[p].child[other(side)]) {
            z = p;
            rotate(z, side);
            p = n[z].parent;
            g = n[p].parent;
        }
        n[p].red = 0;
        n[g].red = 1;
        rotate(g, other(side));
    }
    n[root_].red = 0;
}

void RankedWindow::erase(RankIndex z) {
    RankNode* n = nodes_.data();
    bool removed_red = n[z].red != 0;
    RankIndex x = 0;
    if (n[z].child[left] == 0 || n[z].child[right] == 0) {
        for (RankIndex a = n[z].parent; a != 0; a = n[a].parent) --n[a].size;
        x = n[z].child[n[z].child[left] == 0 ? right : left];
        transplant(z, x);
    } else {
        // z's successor y takes its place, colour and (reduced) size.
        RankIndex y = n[z].child[right];
        while (n[y].child[left] != 0) y = n[y].child[left];
        for (RankIndex a = n[y].parent; a != 0; a = n[a].parent) --n[a].size;
        removed_red = n[y].red != 0;
        x = n[y].child[right];
        if (n[y].parent == z) {
            n[x].parent = y;
        } else {
            transplant(y, x);
            n[y].child[right] = n[z].child[right];
            n[n[y].child[right]].parent = y;
        }
        transplant(z, y);
        n[y].child[left] = n[z].child[left];
        n[n[y].child[left]].parent = y;
        n[y].red = n[z].red;
        n[y].size = n[z].size;
    }
    if (!removed_red) erase_fixup(x);
    n[0] = RankNode{};  // the shared leaf's parent served the fixup
}

void RankedWindow::erase_fixup(RankIndex x) {
    RankNode* n = nodes_.data();
    while (x != root_ && n[x].red == 0) {
        const RankIndex p = n[x].parent;
        // x may be the shared leaf, whose side only its parent's links tell.
        const Side side = n[p].child[left] == x ? left : right;
        const Side far = other(side);
        RankIndex w = n[p].child[far];
        if (n[w].red != 0) {
            n[w].red = 0;
            n[p].red = 1;
            rotate(p, side);
            w = n[p].child[far];
        }
        if (n[n[w].child[side]].red == 0 && n[n[w].child[far]].red == 0) {
            n[w].red = 1;
            x = p;
            continue;
        }
        if (n[n[w].child[far]].red == 0) {
            n[n[w].child[side]].red = 0;
            n[w].red = 1;
            rotate(w, far);
            w = n[p].child[far];
        }
        n[w].red = n[p].red;
        n[p].red = 0;
        n[n[w].child[far]].red = 0;
        rotate(p, side);
        x = root_;
    }
    n[x].red = 0;
}

std::uint64_t RankedWindow::held_bytes() const { return held(nodes_); }

std::string RankedWindow::verify() const {
    const RankNode* n = nodes_.data();
    if (n[0].size != 0 || n[0].red != 0) return "the shared leaf is not an empty black node";
    if (root_ != 0 && (n[root_].parent != 0 || n[root_].red != 0)) return "the root has a parent or is red";
    std::string fault;
    double last = -std::numeric_limits<double>::infinity();
    std::uint64_t visited = 0;
    // The black height of the subtree at x, visited in order; -1 once a fault is found.
    auto walk = [&](auto& self, RankIndex x) -> int {
        if (x == 0) return 1;
        if (x > capacity_) return fault = "a link leaves the node array", -1;
        if (++visited > capacity_) return fault = "the links form a cycle", -1;
        const RankNode& d = n[x];
        for (const RankIndex child : d.child) {
            if (child != 0 && n[child].parent != x) return fault = "a child does not link back to its parent", -1;
            if (child != 0 && d.red != 0 && n[child].red != 0) return fault = "a red node has a red child", -1;
        }
        const int below_left = self(self, d.child[left]);
        if (below_left < 0) return -1;
        if (d.value < last) return fault = "the values are out of order", -1;
        last = d.value;
        const int below_right = self(self, d.child[right]);
        if (below_right < 0) return -1;
        if (below_left != below_right) return fault = "the black heights differ", -1;
        if (d.size != n[d.child[left]].size + n[d.child[right]].size + 1) return fault = "a subtree size is wrong", -1;
        return below_left + (d.red != 0 ? 0 : 1);
    };
    if (walk(walk, root_) < 0) return fault;
    if (visited != size()) return "the tree does not hold size() nodes";
    return "";
}

}  // namespace morvik3::calibrator

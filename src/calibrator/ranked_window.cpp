#include "calibrator/ranked_window.hpp"

#include <limits>

namespace morvik3::calibrator {

RankCounts RankedWindow::counts(double value) const {
    // One descent while no node equals `value`; from the first that does,
    // the scores below it lie to its left and those at most it to its right.
    RankCounts c;
    RankIndex x = root_;
    auto below = [&](RankIndex from, auto before) {
        std::uint64_t n = 0;
        while (from != 0) {
            const RankNode& d = nodes_[from];
            const bool right = before(d.value);
            n += right ? nodes_[d.left].size + 1 : 0;
            from = right ? d.right : d.left;
        }
        return n;
    };
    while (x != 0) {
        const RankNode& d = nodes_[x];
        if (d.value == value) break;
        const bool right = d.value < value;
        c.below += right ? nodes_[d.left].size + 1 : 0;
        x = right ? d.right : d.left;
    }
    if (x == 0) return c;
    const RankNode& d = nodes_[x];
    const std::uint64_t left = c.below + below(d.left, [value](double v) { return v < value; });
    const std::uint64_t at_most = c.below + nodes_[d.left].size + 1 +
                                  below(d.right, [value](double v) { return v <= value; });
    return {left, at_most - left};
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

void RankedWindow::rotate_left(RankIndex x) {
    RankNode* n = nodes_.data();
    const RankIndex y = n[x].right;
    n[x].right = n[y].left;
    if (n[y].left != 0) n[n[y].left].parent = x;
    transplant(x, y);
    n[y].left = x;
    n[x].parent = y;
    n[y].size = n[x].size;
    n[x].size = n[n[x].left].size + n[n[x].right].size + 1;
}

void RankedWindow::rotate_right(RankIndex x) {
    RankNode* n = nodes_.data();
    const RankIndex y = n[x].left;
    n[x].left = n[y].right;
    if (n[y].right != 0) n[n[y].right].parent = x;
    transplant(x, y);
    n[y].right = x;
    n[x].parent = y;
    n[y].size = n[x].size;
    n[x].size = n[n[x].left].size + n[n[x].right].size + 1;
}

// Puts the subtree of v where the subtree of u was.
void RankedWindow::transplant(RankIndex u, RankIndex v) {
    RankNode* n = nodes_.data();
    const RankIndex p = n[u].parent;
    if (p == 0) {
        root_ = v;
    } else if (u == n[p].left) {
        n[p].left = v;
    } else {
        n[p].right = v;
    }
    n[v].parent = p;
}

void RankedWindow::insert(RankIndex z, double value) {
    RankNode* n = nodes_.data();
    RankIndex parent = 0;
    for (RankIndex x = root_; x != 0; x = value < n[x].value ? n[x].left : n[x].right) {
        parent = x;
        ++n[x].size;
    }
    n[z] = {value, 1, 0, 0, parent, 1};
    if (parent == 0) {
        root_ = z;
    } else if (value < n[parent].value) {
        n[parent].left = z;
    } else {
        n[parent].right = z;
    }
    insert_fixup(z);
}

void RankedWindow::insert_fixup(RankIndex z) {
    RankNode* n = nodes_.data();
    while (n[n[z].parent].red) {
        RankIndex p = n[z].parent;
        RankIndex g = n[p].parent;
        const bool on_left = p == n[g].left;
        const RankIndex uncle = on_left ? n[g].right : n[g].left;
        if (n[uncle].red) {
            n[p].red = 0;
            n[uncle].red = 0;
            n[g].red = 1;
            z = g;
            continue;
        }
        if (z == (on_left ? n[p].right : n[p].left)) {
            z = p;
            on_left ? rotate_left(z) : rotate_right(z);
            p = n[z].parent;
            g = n[p].parent;
        }
        n[p].red = 0;
        n[g].red = 1;
        on_left ? rotate_right(g) : rotate_left(g);
    }
    n[root_].red = 0;
}

void RankedWindow::erase(RankIndex z) {
    RankNode* n = nodes_.data();
    bool removed_red = n[z].red != 0;
    RankIndex x = 0;
    if (n[z].left == 0 || n[z].right == 0) {
        for (RankIndex a = n[z].parent; a != 0; a = n[a].parent) --n[a].size;
        x = n[z].left != 0 ? n[z].left : n[z].right;
        transplant(z, x);
    } else {
        // z's successor y takes its place, colour and (reduced) size.
        RankIndex y = n[z].right;
        while (n[y].left != 0) y = n[y].left;
        for (RankIndex a = n[y].parent; a != 0; a = n[a].parent) --n[a].size;
        removed_red = n[y].red != 0;
        x = n[y].right;
        if (n[y].parent == z) {
            n[x].parent = y;
        } else {
            transplant(y, x);
            n[y].right = n[z].right;
            n[n[y].right].parent = y;
        }
        transplant(z, y);
        n[y].left = n[z].left;
        n[n[y].left].parent = y;
        n[y].red = n[z].red;
        n[y].size = n[z].size;
    }
    if (!removed_red) erase_fixup(x);
    n[0] = RankNode{};  // the shared leaf's parent served the fixup
}

void RankedWindow::erase_fixup(RankIndex x) {
    RankNode* n = nodes_.data();
    while (x != root_ && !n[x].red) {
        const RankIndex p = n[x].parent;
        const bool on_left = x == n[p].left;
        auto near = [&](RankIndex w) { return on_left ? n[w].left : n[w].right; };
        auto far = [&](RankIndex w) { return on_left ? n[w].right : n[w].left; };
        auto toward_x = [&](RankIndex a) { on_left ? rotate_left(a) : rotate_right(a); };
        auto away_from_x = [&](RankIndex a) { on_left ? rotate_right(a) : rotate_left(a); };
        RankIndex w = on_left ? n[p].right : n[p].left;
        if (n[w].red) {
            n[w].red = 0;
            n[p].red = 1;
            toward_x(p);
            w = on_left ? n[p].right : n[p].left;
        }
        if (!n[near(w)].red && !n[far(w)].red) {
            n[w].red = 1;
            x = p;
            continue;
        }
        if (!n[far(w)].red) {
            n[near(w)].red = 0;
            n[w].red = 1;
            away_from_x(w);
            w = on_left ? n[p].right : n[p].left;
        }
        n[w].red = n[p].red;
        n[p].red = 0;
        n[far(w)].red = 0;
        toward_x(p);
        x = root_;
    }
    n[x].red = 0;
}

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
        for (const RankIndex child : {d.left, d.right}) {
            if (child != 0 && n[child].parent != x) return fault = "a child does not link back to its parent", -1;
            if (child != 0 && d.red != 0 && n[child].red != 0) return fault = "a red node has a red child", -1;
        }
        const int left = self(self, d.left);
        if (left < 0) return -1;
        if (d.value < last) return fault = "the values are out of order", -1;
        last = d.value;
        const int right = self(self, d.right);
        if (right < 0) return -1;
        if (left != right) return fault = "the black heights differ", -1;
        if (d.size != n[d.left].size + n[d.right].size + 1) return fault = "a subtree size is wrong", -1;
        return left + (d.red != 0 ? 0 : 1);
    };
    if (walk(walk, root_) < 0) return fault;
    if (visited != size()) return "the tree does not hold size() nodes";
    return "";
}

}  // namespace morvik3::calibrator

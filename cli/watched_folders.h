// The folders a watcher has watches on, as a tree of names keyed by watch descriptor.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>

#include <cstdint>
#include <vector>

namespace yf::cli {

// Each watch keeps its parent's watch and its own name, never its whole path: a tree of
// 100,000 folders costs a few megabytes, and a folder moved, with everything below it, is
// one watch placed elsewhere. A watch with no parent (the top of the tree, or one whose
// parent's watch ended while it still had folders below) is named by its whole path.
// Paths end in "/".
class WatchedFolders {
public:
    // Records that `wd` watches the folder `name` in the folder `parent` watches, moving it
    // there, with everything below it, when it was elsewhere; with `parent` -1, `name` is the
    // whole path. False, and nothing changed, when `parent` is unknown or lies below `wd`.
    bool place(int wd, int parent, QByteArrayView name);
    // Forgets `wd`; the watches below it keep their paths, each named whole from now on.
    void erase(int wd);

    bool contains(int wd) const { return m_nodes.contains(wd); }
    qsizetype size() const { return m_nodes.size(); }
    // The path `wd` watches, empty when it is none of these.
    QByteArray path(int wd) const;
    // Every watch whose path is `path`: more than one when a folder moved away was not
    // forgotten yet and another came to its place.
    std::vector<int> at(QByteArrayView path) const;
    // Every watch whose path starts with `path`, each above before those below it.
    std::vector<int> below(QByteArrayView path) const;
    // Every watch, in no order.
    std::vector<int> all() const { return std::vector<int>(m_nodes.keyBegin(), m_nodes.keyEnd()); }

private:
    struct Node {
        int parent = -1;
        int firstChild = -1;
        int previous = -1;  // siblings, both ways, so that leaving a long list costs nothing
        int next = -1;
        std::uint32_t nameAt = 0;  // in m_names
        std::uint32_t nameSize = 0;
    };
    QByteArrayView nameOf(const Node &node) const { return QByteArrayView(m_names.constData() + node.nameAt, node.nameSize); }
    void setName(Node &node, QByteArrayView name);
    void unlink(int wd, Node &node);
    void appendSubtree(int wd, std::vector<int> &into) const;
    void packNames();

    QHash<int, Node> m_nodes;
    std::vector<int> m_tops;  // the watches with no parent
    // Every name one after the other; a name replaced or forgotten stays until the names are
    // packed again, which happens once they take twice the room of those still used.
    QByteArray m_names;
    qsizetype m_namesUsed = 0;
};

} // namespace yf::cli

#include "cli/watched_folders.h"

#include <algorithm>

namespace yf::cli {

bool WatchedFolders::place(int wd, int parent, QByteArrayView name)
{
    if (parent >= 0) {
        if (!m_nodes.contains(parent))
            return false;
        // A folder cannot lie inside itself: an answer that says so is not believed.
        for (int above = parent; above >= 0; above = m_nodes.value(above).parent) {
            if (above == wd)
                return false;
        }
    }
    const bool known = m_nodes.contains(wd);
    Node &node = m_nodes[wd];  // no insertion below this, so the reference holds
    if (known && node.parent == parent && nameOf(node) == name)
        return true;
    if (known)
        unlink(wd, node);
    setName(node, name);
    node.parent = parent;
    node.previous = -1;
    if (parent < 0) {
        node.next = -1;
        m_tops.push_back(wd);
    } else {
        Node &above = m_nodes[parent];
        node.next = above.firstChild;
        if (above.firstChild >= 0)
            m_nodes[above.firstChild].previous = wd;
        above.firstChild = wd;
    }
    return true;
}

void WatchedFolders::erase(int wd)
{
    const auto found = m_nodes.find(wd);
    if (found == m_nodes.end())
        return;
    if (found->firstChild >= 0) {
        const QByteArray path = this->path(wd);
        for (int child = found->firstChild; child >= 0;) {
            Node &below = m_nodes[child];
            const int next = below.next;
            setName(below, QByteArray(path + nameOf(below).toByteArray() + '/'));
            below.parent = below.previous = below.next = -1;
            m_tops.push_back(child);
            child = next;
        }
    }
    Node &node = m_nodes[wd];
    node.firstChild = -1;
    unlink(wd, node);
    m_namesUsed -= node.nameSize;
    m_nodes.remove(wd);
}

void WatchedFolders::unlink(int wd, Node &node)
{
    if (node.parent < 0) {
        m_tops.erase(std::remove(m_tops.begin(), m_tops.end(), wd), m_tops.end());
        return;
    }
    if (node.previous >= 0)
        m_nodes[node.previous].next = node.next;
    else
        m_nodes[node.parent].firstChild = node.next;
    if (node.next >= 0)
        m_nodes[node.next].previous = node.previous;
    node.previous = node.next = -1;
}

void WatchedFolders::setName(Node &node, QByteArrayView name)
{
    m_namesUsed += name.size() - node.nameSize;
    node.nameAt = static_cast<std::uint32_t>(m_names.size());
    node.nameSize = static_cast<std::uint32_t>(name.size());
    m_names.append(name.data(), name.size());
    if (m_names.size() > 2 * m_namesUsed + 4096)
        packNames();
}

void WatchedFolders::packNames()
{
    QByteArray packed;
    packed.reserve(m_namesUsed + m_namesUsed / 4);
    for (Node &node : m_nodes) {
        const QByteArrayView name = nameOf(node);
        node.nameAt = static_cast<std::uint32_t>(packed.size());
        packed.append(name.data(), name.size());
    }
    m_names = std::move(packed);
}

QByteArray WatchedFolders::path(int wd) const
{
    std::vector<QByteArrayView> names;
    auto at = m_nodes.constFind(wd);
    if (at == m_nodes.constEnd())
        return {};
    for (;;) {
        names.push_back(nameOf(*at));
        if (at->parent < 0)
            break;
        at = m_nodes.constFind(at->parent);
    }
    QByteArray path = names.back().toByteArray();  // the top's whole path
    for (auto name = names.rbegin() + 1; name != names.rend(); ++name)
        path.append(name->data(), name->size()).append('/');
    return path;
}

std::vector<int> WatchedFolders::at(QByteArrayView path) const
{
    std::vector<int> found;
    for (const int top : m_tops) {
        const QByteArrayView topPath = nameOf(m_nodes[top]);
        if (!path.startsWith(topPath))
            continue;
        // Name by name from the top, following every watch of each name.
        std::vector<int> level{top};
        for (qsizetype from = topPath.size(); from < path.size() && !level.empty();) {
            const qsizetype slash = path.indexOf('/', from);
            if (slash < 0)
                return found;  // not a folder's path
            const QByteArrayView name = path.sliced(from, slash - from);
            std::vector<int> next;
            for (const int folder : level) {
                for (int child = m_nodes[folder].firstChild; child >= 0; child = m_nodes[child].next) {
                    if (nameOf(m_nodes[child]) == name)
                        next.push_back(child);
                }
            }
            level = std::move(next);
            from = slash + 1;
        }
        found.insert(found.end(), level.begin(), level.end());
    }
    return found;
}

std::vector<int> WatchedFolders::below(QByteArrayView path) const
{
    std::vector<int> found;
    for (const int wd : at(path))
        appendSubtree(wd, found);
    // A watch named whole lies below `path` by its name, not by a parent.
    for (const int top : m_tops) {
        const QByteArrayView topPath = nameOf(m_nodes[top]);
        if (topPath.size() > path.size() && topPath.startsWith(path))
            appendSubtree(top, found);
    }
    return found;
}

void WatchedFolders::appendSubtree(int wd, std::vector<int> &into) const
{
    into.push_back(wd);
    // Breadth first: what is appended is walked in turn.
    for (std::size_t i = into.size() - 1; i < into.size(); ++i) {
        for (int child = m_nodes[into[i]].firstChild; child >= 0; child = m_nodes[child].next)
            into.push_back(child);
    }
}

} // namespace yf::cli

#include "config/path_checker.h"

#include <cstring>
#include <new>

#include "net/text.h"

namespace {

// Walks the components of a path in place, skipping empty ones.
class Components {
public:
    explicit Components(std::string_view path) : rest_(path) {}

    bool Next(std::string_view& component) {
        while (!rest_.empty() && rest_.front() == '/') rest_.remove_prefix(1);
        if (rest_.empty()) return false;
        std::size_t end = rest_.find('/');
        if (end == std::string_view::npos) end = rest_.size();
        component = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return true;
    }

private:
    std::string_view rest_;
};

bool IsDotComponent(std::string_view component) {
    return component == "." || component == "..";
}

// A path the lookups accept: absolute, without "." or "..", since they are
// matched as text and must never step out of a listed folder.
bool IsLookupPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    Components walk(path);
    std::string_view component;
    while (walk.Next(component)) {
        if (IsDotComponent(component)) return false;
    }
    return true;
}

bool NameEquals(const char* name, std::string_view component) {
    std::size_t length = strnlen(name, PATH_TEXT_SIZE);
    return length == component.size() && std::memcmp(name, component.data(), length) == 0;
}

template <typename Node>
Node* FindChild(Node* parent, std::string_view component) {
    for (Node* child = parent->children.head; child != nullptr; child = child->next) {
        if (NameEquals(child->name, component)) return child;
    }
    return nullptr;
}

}  // namespace

bool PathChecker::NormalisePath(std::string_view path, char* out, std::size_t size) {
    if (path.empty() || path.front() != '/' || size < 2) return false;
    if (path.find('\0') != std::string_view::npos) return false;
    std::size_t length = 0;
    Components walk(path);
    std::string_view component;
    while (walk.Next(component)) {
        if (component == ".") continue;
        if (component == "..") {
            // Drop the last component with its '/': step back to that '/',
            // which the next component overwrites.
            while (length > 0 && out[--length] != '/') {
            }
            continue;
        }
        if (length + 1 + component.size() > size - 1) return false;
        out[length] = '/';
        std::memcpy(out + length + 1, component.data(), component.size());
        length += 1 + component.size();
        out[length] = '\0';
    }
    if (length == 0) {
        out[0] = '/';
        length = 1;
    }
    out[length] = '\0';
    return true;
}

const node_s* PathChecker::FindNode(std::string_view path) const {
    if (!IsLookupPath(path)) return nullptr;
    const node_s* node = &root;
    Components walk(path);
    std::string_view component;
    while (walk.Next(component)) {
        node = FindChild(node, component);
        if (node == nullptr) return nullptr;
    }
    return node;
}

node_s* PathChecker::FindNode(std::string_view path) {
    return const_cast<node_s*>(static_cast<const PathChecker*>(this)->FindNode(path));
}

textnode_s* PathChecker::AddPath(std::string_view path, uint32_t flags, uint32_t reserved) {
    char normal[PATH_TEXT_SIZE];
    if (!NormalisePath(path, normal, sizeof normal)) return nullptr;
    if (HasPath(normal) == 1) return nullptr;

    // The branch created here, so a failed allocation can take it back.
    nodechain_s created{};
    textnode_s* entry = nullptr;
    try {
        node_s* node = &root;
        Components walk(normal);
        std::string_view component;
        while (walk.Next(component)) {
            node_s* child = FindChild(node, component);
            if (child == nullptr) {
                child = node->children.Append();
                CopyText(child->name, component);
                if (created.node == nullptr) created = {node, child, nullptr};
            }
            node = child;
        }
        entry = entries.Append();
        CopyText(entry->path, normal);
        entry->flags = flags;
        entry->reserved = reserved;
        node->flags = flags;
        node->entry = entry;
        return entry;
    } catch (const std::bad_alloc&) {
        if (created.node != nullptr) created.parent->children.Remove(created.node);
        throw;
    }
}

int PathChecker::HasPath(std::string_view path) const {
    const node_s* node = FindNode(path);
    return node != nullptr && node->entry != nullptr ? 1 : 0;
}

int32_t PathChecker::GetPermissions(std::string_view path) const {
    if (!IsLookupPath(path)) return -1;
    const node_s* node = &root;
    int32_t result = root.entry != nullptr ? static_cast<int32_t>(root.flags) : -1;
    Components walk(path);
    std::string_view component;
    while (walk.Next(component)) {
        node = FindChild(node, component);
        if (node == nullptr) break;
        if (node->entry != nullptr) result = static_cast<int32_t>(node->flags);
    }
    return result;
}

int PathChecker::SetPermissions(std::string_view path, uint32_t flags) {
    node_s* node = FindNode(path);
    if (node == nullptr) return 1;
    if (node->entry != nullptr) {
        node->flags = flags;
        node->entry->flags = flags;
    }
    return 0;
}

int PathChecker::RemovePath(std::string_view path) {
    if (!IsLookupPath(path)) return 1;
    // `top` is the highest node of the unbroken chain of entry-less,
    // single-child nodes above the current one: the branch that only
    // leads to the path being removed starts there.
    nodechain_s top{};
    node_s* parent = nullptr;
    node_s* node = &root;
    Components walk(path);
    std::string_view component;
    while (walk.Next(component)) {
        if (node != &root) {
            if (node->entry == nullptr && node->children.count < 2) {
                if (top.node == nullptr) top = {parent, node, nullptr};
            } else {
                top = {};
            }
        }
        node_s* child = FindChild(node, component);
        if (child == nullptr) return 1;
        parent = node;
        node = child;
    }
    if (node->entry == nullptr) return 1;

    entries.Remove(node->entry);
    node->entry = nullptr;
    node->flags = 0;
    if (node == &root || node->children.count > 0) return 0;  // still leads to deeper entries
    if (top.node == nullptr) top = {parent, node, nullptr};
    top.parent->children.Remove(top.node);
    return 0;
}

void PathChecker::Clear() {
    root.children.Clear();
    entries.Clear();
    root.entry = nullptr;
    root.flags = 0;
}

// OwnedList: an ordered list that owns its nodes. The rule base (rules) and
// each rule's action list (entries) are such lists; deleting the list deletes
// its nodes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

template <typename Node>
class OwnedList {
 public:
  OwnedList() = default;
  OwnedList(const OwnedList&) = delete;
  OwnedList& operator=(const OwnedList&) = delete;
  virtual ~OwnedList() = default;

  // Links the node at the tail; a null node is ignored.
  void Append(std::unique_ptr<Node> node) {
    if (node) m_nodes.push_back(std::move(node));
  }
  // Deletes every node.
  void Clear() { m_nodes.clear(); }

  std::size_t size() const { return m_nodes.size(); }
  bool empty() const { return m_nodes.empty(); }
  // Nodes in order; valid until the next Append or Clear.
  const Node& at(std::size_t index) const { return *m_nodes[index]; }

 protected:
  // A vector of owners rather than a linked chain: the per-message walk reads
  // the nodes in order, and a contiguous array of pointers is kinder to it.
  std::vector<std::unique_ptr<Node>> m_nodes;
};

#pragma once

#include "Common/Export.h"

#include <memory>

namespace Halvora {
namespace Common {

// An opaque handle the host destroys; the exported plain functions hand these out.
class HALVORA_COMMON_API ManagedObject {
public:
    virtual ~ManagedObject() = default;
};

// Holds one share of a library object; destroying the handle releases the share.
template <typename T>
class ManagedSPtr : public ManagedObject {
public:
    explicit ManagedSPtr(std::shared_ptr<T> ptr) : m_ptr(std::move(ptr)) {}
    const std::shared_ptr<T>& Get() const { return m_ptr; }
    T* operator->() const { return m_ptr.get(); }
    T& operator*() const { return *m_ptr; }

private:
    std::shared_ptr<T> m_ptr;
};

}  // namespace Common
}  // namespace Halvora

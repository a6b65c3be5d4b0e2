#pragma once
// Owning reference to a GObject (GMime objects are GObjects). Every GMime object the
// adapter keeps is held through this class, so that each g_object_ref has exactly one
// matching g_object_unref however the owner is copied, moved or destroyed.

#include <glib-object.h>

#include <utility>

template <typename T>
class MCOGObjectRef {
public:
    MCOGObjectRef() = default;

    // Takes over a reference the caller already owns (a *_new / construct result).
    static MCOGObjectRef adopt(T *object)
    {
        MCOGObjectRef ref;
        ref.m_object = object;
        return ref;
    }
    // Adds a reference of its own to an object owned by someone else (a getter result).
    static MCOGObjectRef retain(T *object)
    {
        if (object)
            g_object_ref(object);
        return adopt(object);
    }

    MCOGObjectRef(const MCOGObjectRef &other) : m_object(other.m_object)
    {
        if (m_object)
            g_object_ref(m_object);
    }
    MCOGObjectRef(MCOGObjectRef &&other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    MCOGObjectRef &operator=(MCOGObjectRef other) noexcept
    {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~MCOGObjectRef()
    {
        if (m_object)
            g_object_unref(m_object);
    }

    // The object, still owned by this reference; null when empty.
    T *get() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T *m_object = nullptr;
};

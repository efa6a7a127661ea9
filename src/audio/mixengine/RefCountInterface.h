// Interface of an object whose lifetime is shared through a reference count. AddRef and
// Release may be called from any thread (the count is atomic); the last Release destroys
// the object.
#pragma once

namespace dr::audiomix {

class RefCountInterface
{
public:
    virtual void AddRef() const = 0;
    // Returns true when this call destroyed the object.
    virtual bool Release() const = 0;

protected:
    virtual ~RefCountInterface() = default;
};

} // namespace dr::audiomix

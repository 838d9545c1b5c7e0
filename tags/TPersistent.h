#pragma once
// The framework's assignable-object base: an object copies itself into another through
// Assign/AssignTo, and a pair of classes that can't be assigned raises EConvertError.

#include <string>

namespace tarvio {

class TPersistent {
public:
    TPersistent() = default;
    virtual ~TPersistent() = default;
    TPersistent(const TPersistent&) = delete;
    TPersistent& operator=(const TPersistent&) = delete;

    // Copies Source into this object. The base asks Source to do it (Source.AssignTo(*this)).
    virtual void Assign(const TPersistent& Source);
    // Copies this object into Dest. The base raises the assignment error.
    virtual void AssignTo(TPersistent& Dest) const;

    // The class name used in the assignment error message.
    virtual std::string ClassName() const { return "TPersistent"; }

protected:
    // Raises EConvertError "Cannot assign a <Source class> to a <this class>".
    [[noreturn]] void AssignError(const TPersistent& Source) const;
};

} // namespace tarvio

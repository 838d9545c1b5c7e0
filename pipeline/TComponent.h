#pragma once
// Component base: an owner that destroys its components, a name, and the removal
// notification that every component of the same owner receives when one is destroyed.

#include <functional>
#include <string>
#include <vector>

namespace tarvio {

class TComponent;

// Events are method callbacks with the sender as their only argument.
using TNotifyEvent = std::function<void(TComponent* Sender)>;

enum class TOperation { opInsert, opRemove };

class TComponent {
public:
    // Owner may be null. An owned component is destroyed by its owner's destructor,
    // newest first; destroying it earlier removes it from the owner.
    explicit TComponent(TComponent* AOwner = nullptr);
    virtual ~TComponent();

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }

protected:
    // Called on every component of the same owner (and on the owner) when AComponent is
    // inserted or is about to be destroyed. Runs on the thread that destroys it.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

    // Subclasses whose destructors must stop threads that notify siblings call this
    // first thing in their destructor; the base destructor calls it too (idempotent).
    void RemoveFromOwner();

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);
    void NotifySiblings(TComponent* AComponent, TOperation Operation);

    TComponent* FOwner = nullptr;
    std::string FName;
    std::vector<TComponent*> FComponents; // owned
    bool FDestroying = false;
};

} // namespace tarvio

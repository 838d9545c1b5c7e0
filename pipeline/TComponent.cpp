#include "pipeline/TComponent.h"

#include <algorithm>

namespace tarvio {

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    FDestroying = true;
    RemoveFromOwner();
    // Owned components go newest first, each removing itself from FComponents.
    while (!FComponents.empty()) {
        TComponent* child = FComponents.back();
        child->RemoveFromOwner(); // siblings hear of it while the child is still whole
        delete child;             // ownership prescribed by the component model
    }
}

void TComponent::RemoveFromOwner() {
    if (FOwner) {
        TComponent* owner = FOwner;
        owner->NotifySiblings(this, TOperation::opRemove);
        owner->RemoveComponent(this);
    }
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* AComponent) {
    AComponent->FOwner = this;
    FComponents.push_back(AComponent);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
    if (it != FComponents.end()) FComponents.erase(it);
    AComponent->FOwner = nullptr;
}

void TComponent::NotifySiblings(TComponent* AComponent, TOperation Operation) {
    if (!FDestroying) Notification(AComponent, Operation);
    // Copy: a handler may not add components, but be safe against removal.
    std::vector<TComponent*> siblings = FComponents;
    for (TComponent* c : siblings)
        if (c != AComponent) c->Notification(AComponent, Operation);
}

} // namespace tarvio

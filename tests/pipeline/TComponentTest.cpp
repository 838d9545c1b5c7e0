// Ownership and the removal notification.

#include <gtest/gtest.h>

#include <vector>

#include "pipeline/TComponent.h"

using namespace tarvio;

namespace {
struct TWatcher : TComponent {
    std::vector<TComponent*>* Log;
    bool* Destroyed;
    TWatcher(TComponent* Owner, std::vector<TComponent*>* L, bool* D)
        : TComponent(Owner), Log(L), Destroyed(D) {}
    ~TWatcher() override { *Destroyed = true; }
    void Notification(TComponent* C, TOperation Op) override {
        if (Op == TOperation::opRemove) Log->push_back(C);
    }
};
} // namespace

TEST(TComponent, OwnerFreesItsComponentsAndSiblingsHearOfRemovals) {
    std::vector<TComponent*> logA, logB;
    bool destroyedA = false, destroyedB = false;
    TComponent* a;
    TComponent* b;
    {
        TComponent owner;
        a = new TWatcher(&owner, &logA, &destroyedA);
        b = new TWatcher(&owner, &logB, &destroyedB);
        a->SetName("A");
        EXPECT_EQ(owner.ComponentCount(), 2);
        EXPECT_EQ(a->Owner(), &owner);
        EXPECT_EQ(a->Name(), "A");
        auto* c = new TComponent(&owner);
        delete c; // siblings hear of it; the owner forgets it
        EXPECT_EQ(logA, std::vector<TComponent*>{c});
        EXPECT_EQ(logB, std::vector<TComponent*>{c});
        EXPECT_EQ(owner.ComponentCount(), 2);
    }
    EXPECT_TRUE(destroyedA);
    EXPECT_TRUE(destroyedB);
    // Newest first: A, still alive, heard that B went.
    ASSERT_EQ(logA.size(), 2u);
    EXPECT_EQ(logA[1], b);
}

#include "platform/Component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zav {
namespace {

std::vector<std::string> g_log;

class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::string name) : TComponent(owner) { SetName(std::move(name)); }
  ~Probe() override {
    AnnounceRemoval();
    g_log.push_back("destroy " + Name());
  }
  TComponent* lastRemoved = nullptr;
  bool loadingSeenInLoaded = false;

 protected:
  void Loaded() override {
    loadingSeenInLoaded = Loading();
    TComponent::Loaded();
    g_log.push_back("loaded " + Name());
  }
  void Notification(TComponent* c, TOperation op) override {
    if (c != this)
      g_log.push_back(Name() + (op == TOperation::opInsert ? " +" : " -") + c->Name());
    TComponent::Notification(c, op);
    if (op == TOperation::opRemove) lastRemoved = c;
  }
};

TEST(Component, OwnerDestroysWhatItOwnsAndSiblingsHearOfIt) {
  g_log.clear();
  auto* form = CreateComponent<Probe>(nullptr, "form");
  auto* port = CreateComponent<Probe>(form, "port");
  CreateComponent<Probe>(form, "term");
  EXPECT_EQ(form->Components().size(), 2u);
  EXPECT_EQ(port->Owner(), form);
  g_log.clear();
  delete form;
  // The form's own body has run first; then its components go, newest first,
  // each announced to the siblings that remain.
  std::vector<std::string> expected = {"destroy form", "port -term", "destroy term", "destroy port"};
  EXPECT_EQ(g_log, expected);
}

TEST(Component, InsertionIsAnnouncedToEveryComponentOfTheOwner) {
  g_log.clear();
  Probe form(nullptr, "form");
  CreateComponent<Probe>(&form, "a");
  g_log.clear();
  CreateComponent<Probe>(&form, "b");
  EXPECT_EQ(g_log, (std::vector<std::string>{"form +b", "a +b"}));
}

TEST(Component, FreeNotificationReachesAComponentOfAnotherOwner) {
  Probe formA(nullptr, "A"), formB(nullptr, "B");
  auto* port = CreateComponent<Probe>(&formA, "port");
  auto* term = CreateComponent<Probe>(&formB, "term");
  term->FreeNotification(port);
  delete port;
  EXPECT_EQ(term->lastRemoved, port);
}

TEST(Component, LoadingStateEndsWithLoadedInCreationOrder) {
  g_log.clear();
  Probe form(nullptr, "form");
  auto* a = CreateComponent<Probe>(&form, "a");
  CreateComponent<Probe>(&form, "b");
  form.BeginLoad();
  EXPECT_TRUE(form.Loading());
  EXPECT_TRUE(a->Loading());
  g_log.clear();
  form.EndLoad();
  EXPECT_EQ(g_log, (std::vector<std::string>{"loaded a", "loaded b", "loaded form"}));
  EXPECT_TRUE(a->loadingSeenInLoaded);
  EXPECT_FALSE(a->Loading());
  EXPECT_FALSE(form.Loading());
}

TEST(Component, DesigningIsInheritedAndVersionIsFixed) {
  Probe form(nullptr, "form");
  form.SetDesigning(true);
  auto* a = CreateComponent<Probe>(&form, "a");
  EXPECT_TRUE(a->Designing());
  form.SetDesigning(false);
  EXPECT_FALSE(a->Designing());
  EXPECT_EQ(a->Version(), "v3.04");
}

}  // namespace
}  // namespace zav

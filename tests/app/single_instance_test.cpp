// A second start finds the first instance and asks it to come forward.
#include <gtest/gtest.h>
#include <QSignalSpy>
#include <QUuid>

#include "app/core/single_instance.h"

namespace tovix::testing {
namespace {

TEST(SingleInstance, SecondInstanceHandsOverToTheFirst) {
  const QString key = QStringLiteral("tovix-test-") + QUuid::createUuid().toString(QUuid::Id128);
  app::SingleInstance first(key);
  ASSERT_TRUE(first.acquire());
  QSignalSpy activations(&first, &app::SingleInstance::activation_requested);

  app::SingleInstance second(key);
  EXPECT_FALSE(second.acquire());
  ASSERT_TRUE(activations.wait(30000));
  EXPECT_EQ(activations.count(), 1);
}

TEST(SingleInstance, TheSlotIsFreeAgainOnceTheFirstHasGone) {
  const QString key = QStringLiteral("tovix-test-") + QUuid::createUuid().toString(QUuid::Id128);
  {
    app::SingleInstance first(key);
    ASSERT_TRUE(first.acquire());
  }
  app::SingleInstance next(key);
  EXPECT_TRUE(next.acquire());
}

TEST(SingleInstance, KeysDifferPerSettingsFile) {
  EXPECT_EQ(app::SingleInstance::instance_key("/a/config.json"), app::SingleInstance::instance_key("/a/config.json"));
  EXPECT_NE(app::SingleInstance::instance_key("/a/config.json"), app::SingleInstance::instance_key("/b/config.json"));
}

}  // namespace
}  // namespace tovix::testing

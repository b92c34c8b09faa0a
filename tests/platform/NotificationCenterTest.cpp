#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>
#include <thread>

using namespace orvanta;

TEST(NotificationCenter, DeliversByNameAndSender) {
    NotificationCenter center;
    int senderA = 0, senderB = 0;
    int any = 0, onlyA = 0, other = 0;
    const void *lastObject = nullptr;
    auto t1 = center.addObserver("Quenfold_NewProcessedImage", nullptr, [&](const Notification &n) {
        any++;
        lastObject = n.object;
    });
    auto t2 =
        center.addObserver("Quenfold_NewProcessedImage", &senderA, [&](const Notification &) { onlyA++; });
    center.addObserver("Quenfold_EngineDidStart", nullptr, [&](const Notification &) { other++; });

    center.post("Quenfold_NewProcessedImage", &senderA);
    center.post("Quenfold_NewProcessedImage", &senderB);
    EXPECT_EQ(any, 2);
    EXPECT_EQ(onlyA, 1);
    EXPECT_EQ(other, 0);
    EXPECT_EQ(lastObject, &senderB);

    center.removeObserver(t1);
    center.removeObserver(t2);
    center.post("Quenfold_NewProcessedImage", &senderA);
    EXPECT_EQ(any, 2);
    EXPECT_EQ(onlyA, 1);
}

TEST(NotificationCenter, RemovalDuringAPostStopsLaterCalls) {
    NotificationCenter center;
    NotificationCenter::Token second = 0;
    int secondCalls = 0;
    center.addObserver("n", nullptr, [&](const Notification &) { center.removeObserver(second); });
    second = center.addObserver("n", nullptr, [&](const Notification &) { secondCalls++; });
    center.post("n", nullptr);
    EXPECT_EQ(secondCalls, 0);
}

TEST(NotificationCenter, RegistrationRemovesItselfAndPostsFromAnyThread) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    {
        ObserverRegistration reg(center,
                                 center.addObserver("n", nullptr, [&](const Notification &) { calls++; }));
        std::thread t([&] { center.post("n", nullptr); });
        t.join();
        EXPECT_EQ(calls.load(), 1);
    }
    center.post("n", nullptr);
    EXPECT_EQ(calls.load(), 1);
}

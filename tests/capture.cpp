#include "capture.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <pthread.h>

std::string captured_stdout(const std::function<void()> &fn)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void on_new_thread(const std::function<void()> &fn)
{
    pthread_t thread;
    auto trampoline = [](void *p) -> void * {
        (*static_cast<const std::function<void()> *>(p))();
        return nullptr;
    };
    ASSERT_EQ(0, pthread_create(&thread, nullptr, trampoline,
                                const_cast<std::function<void()> *>(&fn)));
    ASSERT_EQ(0, pthread_join(thread, nullptr));
}

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", (unsigned long)value);
    return text;
}

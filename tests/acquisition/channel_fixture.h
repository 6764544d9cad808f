// A channel of the test's own (isolated names), created before each test.
#pragma once

#include <gtest/gtest.h>

#include "acquisition/shm_channel.h"
#include "tests/support/test_env.h"

inline const ShmConfig kConfig = {SHM_DEFAULT_SIZE, 10000, 1, 1};

class OnChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    h = shm_create(&kConfig);
    ASSERT_NE(h, nullptr) << shm_get_last_error();
  }
  void TearDown() override { shm_destroy(h); }
  testenv::ShmIsolation iso;
  ShmHandle* h = nullptr;
};

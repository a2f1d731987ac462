#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <thread>

namespace {

// A thread started without a stack size gets the C library's
// default: with musl 128 KiB, what such threads must live with on the device. The musl builds
// must keep it so; a linker that writes a stack size into the program (Zig's writes 16 MiB unless
// told otherwise) makes musl hand every thread that much instead.
TEST(DefaultThreadStack, IsMuslsOwnUnderMusl) {
#ifdef __GLIBC__
  GTEST_SKIP() << "glibc sizes default stacks by the stack limit, not by a fixed default";
#else
  std::size_t size = 0;
  std::thread([&] {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_getattr_np(pthread_self(), &attributes), 0);
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }).join();
  // musl counts the thread's own storage in, a few KiB on top of 128.
  EXPECT_GE(size, 128u * 1024u);
  EXPECT_LT(size, 160u * 1024u);
#endif
}

}  // namespace

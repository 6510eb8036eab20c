// Session objects built and used from several threads at once, while the
// default version code changes.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "pkcs11impl/p11factory.h"
#include "tests/pkcs11impl/p11test_template.h"

TEST(P11ObjectThreads, ObjectsFollowOneVersionEachWhileTheDefaultChanges) {
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    for (int i = 0; !stop.load(); ++i) SetDefaultPkcs11Version(i % 2 ? 532 : 524);
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 6; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < 2000; ++i) {
        TestTemplate t;
        t.Ulong(CKA_CLASS, CKO_CERTIFICATE)
            .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
            .Bytes(CKA_SUBJECT, "subject")
            .Bytes(CKA_VALUE, std::string(static_cast<size_t>(w + 1), 'v'))
            .Bytes(CKA_LABEL, "thread");
        CPkcs11Object* o = nullptr;
        if (CreateObjectFromTemplate(TT_ARGS(t), &o, 0) != CKR_OK || o == nullptr) {
          ++failures;
          continue;
        }
        std::unique_ptr<CPkcs11Object> owned(o);
        CK_ULONG v = o->GetPkcs11Version();
        const CK_ATTRIBUTE* built = nullptr;
        CK_ULONG count = 0;
        if (v != 524 && v != 532) ++failures;
        // 1 class + 4 storage + 2 certificate + 5 X.509 at 2.11+; 2.20 adds 4 + 4.
        if (o->BuildAttributeTemplate(&built, &count, false, false) != CKR_OK || count != (v == 532 ? 20u : 12u))
          ++failures;
        CPkcs11Object* c = nullptr;
        if (o->Copy(nullptr, 0, &c) != CKR_OK || c->GetPkcs11Version() != v) ++failures;
        delete c;
        if (o->Matches(TT_ARGS(t)) != CKR_OK) ++failures;
      }
    });
  }
  for (auto& th : workers) th.join();
  stop = true;
  toggler.join();
  SetDefaultPkcs11Version(0);
  EXPECT_EQ(failures.load(), 0);
}

// The export when its transfer buffers or its reading thread cannot be had:
// each recording is named with the reason, and nothing is left behind.
#include "exportrig.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <pthread.h>

using namespace rig;

namespace {

// While set, every page-aligned block of a cluster or more is refused, as
// when memory runs out: those are the read-ahead's buffers.
std::atomic<bool> g_refuseBuffers{false};

void *alignedBlock(std::size_t size, std::size_t align)
{
    if (g_refuseBuffers && size >= korvath::kClusterBytes)
        return nullptr;
    void *p = nullptr;
    return posix_memalign(&p, std::max(align, sizeof(void *)), size ? size : 1) == 0 ? p : nullptr;
}

// Thread stacks larger than the address space: no thread can start.
struct NoThreads {
    pthread_attr_t before;
    NoThreads()
    {
        pthread_getattr_default_np(&before);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, std::size_t(1) << 47);
        pthread_setattr_default_np(&huge);
        pthread_attr_destroy(&huge);
    }
    ~NoThreads()
    {
        pthread_setattr_default_np(&before);
        pthread_attr_destroy(&before);
    }
};

} // namespace

void *operator new(std::size_t size, std::align_val_t align)
{
    if (void *p = alignedBlock(size, std::size_t(align)))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size, std::align_val_t align)
{
    return operator new(size, align);
}
void operator delete(void *p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}

class WindowResourcesTest : public QObject
{
    Q_OBJECT

private slots:
    void namedAndNothingLeft_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<QString>("why");
        QTest::newRow("memory") << "memory" << "not enough memory for the transfer buffers";
        QTest::newRow("thread") << "thread" << "a thread to read or hash with could not be started (";
    }

    void namedAndNothingLeft()
    {
        QFETCH(QString, missing);
        QFETCH(QString, why);
        Rig r;
        ImageBuilder b(kImageSectors);
        b.recorderSignature();
        const QStringList names{addRecording(b, 0, {10, 11}), addRecording(b, 1, {12})};
        r.addDisk(0, b);
        r.open();
        r.all()->click();

        QList<ModalBox> boxes;
        {
            std::unique_ptr<NoThreads> noThreads(missing == "thread" ? new NoThreads : nullptr);
            g_refuseBuffers = missing == "memory";
            boxes = messageBoxes(r.exportNow());
            g_refuseBuffers = false;
        }
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Export"));
        for (const QString &name : names)
            QVERIFY2(boxes[0].text.contains(name + ": " + why), qPrintable(boxes[0].text));
        QCOMPARE(QDir(r.folder()).entryList(QDir::Files | QDir::System | QDir::Hidden), QStringList());
        QCOMPARE(r.checkedRows(), names); // kept for another try

        // Once they can be had again, the same press writes both.
        QCOMPARE(messageBoxes(r.exportNow()).size(), 0);
        QCOMPARE(r.exported(), names);
    }
};

QTEST_MAIN(WindowResourcesTest)
#include "window_resources_test.moc"

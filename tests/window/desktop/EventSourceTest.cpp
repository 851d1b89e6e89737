// One pump for the window and the sockets: a network wait inside a click
// handler keeps the window's events flowing (a second click is handled
// during it, and may wait on the network itself), a request to end does not
// cut the wait short, time-outs never come early, and while nothing waits
// the socket layer's queue is still served from Qt's loop, without a busy
// loop on a socket whose data nobody reads.
#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "platform/Messages.h"
#include "platform/Winsock.h"
#include "pop3client/SocketBase.h"
#include "tests/fixtures/ScriptedPeer.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Events.h"
#include "window/desktop/Forms.h"
#include "window/desktop/QtEventSource.h"
#include "window/desktop/StdCtrls.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <thread>
#include <vector>

using namespace desktop;
using fixtures::Gate;
using fixtures::Script;
using fixtures::ScriptedPeer;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<TSocketBase> ConnectTo(const ScriptedPeer& peer, int timeOutMs = 10000) {
  auto sock = std::make_unique<TSocketBase>(nullptr);
  sock->Host = "127.0.0.1";
  sock->Port = peer.Port();
  sock->TimeOut = timeOutMs;
  sock->Connect();
  return sock;
}

// A hidden window of the socket layer that counts what reaches it.
struct Counter {
  int ticks = 0;
  int posted = 0;
};
Counter* g_counter = nullptr;

platform::LRESULT CountingProc(platform::HWND, platform::UINT msg, platform::WPARAM, platform::LPARAM) {
  if (!g_counter) return 0;
  if (msg == platform::WM_TIMER) ++g_counter->ticks;
  if (msg == platform::WM_USER + 7) ++g_counter->posted;
  if (msg == platform::WM_USER + 8) throw platform::Exception("Handler failed");
  return 0;
}

platform::HWND MakeCountingWindow() {
  static bool registered = false;
  if (!registered) {
    platform::WNDCLASSA wc;
    wc.lpfnWndProc = CountingProc;
    wc.cbWndExtra = 4;
    wc.hInstance = platform::HInstance();
    wc.lpszClassName = "KelvoTestCountingWindow";
    registered = platform::RegisterClassA(&wc) != 0;
  }
  return platform::CreateWindowExA(platform::WS_EX_TOOLWINDOW, "KelvoTestCountingWindow", "",
                                   platform::WS_POPUP, 0, 0, 0, 0, 0, 0, platform::HInstance(), nullptr);
}

}  // namespace

class EventSourceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    InitializeDesktop();
    QVERIFY(QtEventSource());
    QCOMPARE(&platform::CurrentEventSource(), static_cast<platform::EventSource*>(QtEventSource()));
  }

  void init() { platform::Application().Terminated = false; }

  void clickDuringAWaitIsHandled() {
    auto clicked = std::make_shared<Gate>();
    ScriptedPeer peer(Script().AwaitGate(clicked).Send("+OK ready\r\n").AwaitClose());
    TForm form;
    auto* load = new TButton(form.Client(), "Mailheader herunterladen");
    load->SetBounds(10, 10, 200, 25);
    auto* other = new TButton(form.Client(), "Spamcheck");
    other->SetBounds(10, 50, 200, 25);
    form.resize(300, 120);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    std::vector<std::string> order;
    int depthAtClick = -1;
    other->OnClick = [&](platform::TObject*) {
      order.push_back("second click");
      depthAtClick = QtEventSource()->WaitDepth();
      clicked->Open();  // the line comes only after the second click
    };
    load->OnClick = [&](platform::TObject*) {
      order.push_back("wait begins");
      QTimer::singleShot(100, other, [other] { QTest::mouseClick(other, Qt::LeftButton); });
      auto sock = ConnectTo(peer);
      order.push_back("line " + sock->ReadLn());
      sock->Disconnect();
    };
    QTest::mouseClick(load, Qt::LeftButton);
    const std::vector<std::string> expected = {"wait begins", "second click", "line +OK ready\r\n"};
    QCOMPARE(order, expected);
    QVERIFY2(depthAtClick >= 0, "the second click did not run");
    QVERIFY(peer.WaitDone());
    QVERIFY(peer.Failures().empty());
  }

  void nestedWaitInsideAWait() {
    auto innerRead = std::make_shared<Gate>();
    ScriptedPeer outer(Script().AwaitGate(innerRead).Send("outer\r\n").AwaitClose());
    ScriptedPeer inner(Script().Send("inner\r\n").AwaitClose());
    std::vector<std::string> order;
    int innerDepth = 0;
    QTimer::singleShot(50, [&] {
      Invoke([&] {
        auto sock = ConnectTo(inner);
        std::string line = sock->ReadLn();
        innerDepth = QtEventSource()->WaitDepth();
        order.push_back(line);
        sock->Disconnect();
        innerRead->Open();
      });
    });
    auto sock = ConnectTo(outer);
    order.push_back(sock->ReadLn());
    sock->Disconnect();
    const std::vector<std::string> expected = {"inner\r\n", "outer\r\n"};
    QCOMPARE(order, expected);
    QVERIFY(innerDepth >= 0);
    QCOMPARE(QtEventSource()->WaitDepth(), 0);
  }

  void requestToEndDoesNotCutAWaitShort() {
    auto ended = std::make_shared<Gate>();
    ScriptedPeer peer(Script().AwaitGate(ended).Send("+OK\r\n").AwaitClose());
    QTimer::singleShot(50, [] { platform::PostQuitMessage(0); });
    QTimer::singleShot(80, [ended] {
      Terminate();
      ended->Open();  // the line comes only after both requests to end
    });
    auto sock = ConnectTo(peer);
    QCOMPARE(sock->ReadLn(), std::string("+OK\r\n"));
    QVERIFY(platform::Application().Terminated);
    sock->Disconnect();
  }

  void timeOutNeverComesEarly() {
    // The peer says nothing until the read has failed.
    auto failedRead = std::make_shared<Gate>();
    ScriptedPeer peer(Script().AwaitGate(failedRead).Close());
    const int timeOut = 300;
    auto sock = ConnectTo(peer, timeOut);
    QElapsedTimer clock;
    clock.start();
    bool failed = false;
    try {
      sock->ReadLn();
    } catch (const platform::Exception&) {
      failed = true;
    }
    failedRead->Open();
    QVERIFY(failed);
    QVERIFY2(clock.elapsed() >= timeOut, qPrintable(QString::number(clock.elapsed())));
  }

  void queueIsServedWhileNothingWaits() {
    Counter counter;
    g_counter = &counter;
    const platform::HWND hwnd = MakeCountingWindow();
    QVERIFY(hwnd != 0);
    QVERIFY(platform::SetTimer(hwnd, 1, 20, nullptr) != 0);
    QTRY_VERIFY_WITH_TIMEOUT(counter.ticks >= 3, 5000);  // only Qt's loop runs here
    platform::KillTimer(hwnd, 1);
    std::thread poster([hwnd] { platform::PostMessageA(hwnd, platform::WM_USER + 7, 0, 0); });
    poster.join();
    QTRY_COMPARE_WITH_TIMEOUT(counter.posted, 1, 5000);
    platform::DestroyWindow(hwnd);
    g_counter = nullptr;
  }

  void failureWhileServingTheQueueReachesTheDialog() {
    TMessageBoxRecorder boxes;
    Counter counter;
    g_counter = &counter;
    const platform::HWND hwnd = MakeCountingWindow();
    platform::PostMessageA(hwnd, platform::WM_USER + 8, 0, 0);
    QTRY_COMPARE_WITH_TIMEOUT(boxes.Calls().size(), size_t(1), 5000);
    QCOMPARE(boxes.Calls()[0].Text, std::string("Handler failed."));
    // The queue is served on after the failure.
    platform::PostMessageA(hwnd, platform::WM_USER + 7, 0, 0);
    QTRY_COMPARE_WITH_TIMEOUT(counter.posted, 1, 5000);
    platform::DestroyWindow(hwnd);
    g_counter = nullptr;
  }

  void unreadDataCausesNoBusyLoop() {
    // The peer sends data that no step reads; the socket stays ready.
    auto measured = std::make_shared<Gate>();
    ScriptedPeer peer(Script().Send("+OK unsolicited\r\n").AwaitGate(measured).Close());
    auto sock = ConnectTo(peer);
    QTest::qWait(100);
    const int before = QtEventSource()->IdleServes();
    QTest::qWait(500);
    const int serves = QtEventSource()->IdleServes() - before;
    measured->Open();
    QVERIFY2(serves < 50, qPrintable(QString::number(serves)));
    // The line is still there for the next read.
    QCOMPARE(sock->ReadLn(), std::string("+OK unsolicited\r\n"));
    sock->Disconnect();
  }

  // Bytes a receive took into the socket layer's buffer are not seen by
  // Qt's descriptor notifiers; their read notice still comes while nothing
  // waits.
  void bufferedBytesAreNoticedWhileNothingWaits() {
    ScriptedPeer peer(Script().Send("a\r\nb\r\n").AwaitClose());
    Counter counter;
    g_counter = &counter;
    const platform::HWND hwnd = MakeCountingWindow();
    platform::WSADATA data;
    platform::WSAStartup(0x0101, &data);
    platform::SOCKET s = platform::socket(platform::AF_INET, platform::SOCK_STREAM, 0);
    QVERIFY(s != platform::INVALID_SOCKET);
    QCOMPARE(platform::WSAAsyncSelect(s, hwnd, platform::WM_USER + 7, platform::FD_READ | platform::FD_CONNECT), 0);
    platform::SOCKADDR_IN address;
    address.sin_family = platform::AF_INET;
    address.sin_port = platform::htons(peer.Port());
    address.sin_addr.s_addr = platform::inet_addr("127.0.0.1");
    platform::connect(s, reinterpret_cast<const platform::SOCKADDR*>(&address), sizeof address);
    QTRY_COMPARE_WITH_TIMEOUT(counter.posted, 2, 5000);  // connect, read
    char buf[8];
    QCOMPARE(platform::recv(s, buf, 3, 0), 3);  // the rest stays in the layer's buffer
    QTRY_COMPARE_WITH_TIMEOUT(counter.posted, 3, 5000);  // the read notice of the buffered line
    QCOMPARE(platform::recv(s, buf, sizeof buf, 0), 3);
    QCOMPARE(std::string(buf, 3), std::string("b\r\n"));
    platform::closesocket(s);
    platform::WSACleanup();
    platform::DestroyWindow(hwnd);
    g_counter = nullptr;
  }

  // Runs last: it replaces the program's source for a while. The helper
  // thread of a host lookup posts its answer while a source is replaced and
  // freed; the post must not meet the freed source, and the answer still
  // arrives through the source installed then.
  void lookupAnswerWhileTheSourceIsReplaced() {
    Counter counter;
    g_counter = &counter;
    const platform::HWND hwnd = MakeCountingWindow();
    QVERIFY(hwnd != 0);
    constexpr int kRounds = 50;
    std::vector<char> record(platform::MAXGETHOSTSTRUCT);
    for (int i = 0; i < kRounds; ++i) {
      auto* temporary = new TQtEventSource();  // installs itself
      QVERIFY(platform::WSAAsyncGetHostByName(hwnd, platform::WM_USER + 7, "localhost", record.data(),
                                              static_cast<int>(record.size())) != 0);
      delete temporary;  // back to the default source, while the lookup runs
      platform::SetEventSource(QtEventSource());
      QTRY_COMPARE_WITH_TIMEOUT(counter.posted, i + 1, 5000);
    }
    platform::DestroyWindow(hwnd);
    g_counter = nullptr;
    QCOMPARE(&platform::CurrentEventSource(), static_cast<platform::EventSource*>(QtEventSource()));
  }
};

QTEST_MAIN(EventSourceTest)
#include "EventSourceTest.moc"

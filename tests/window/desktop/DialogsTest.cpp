// Message boxes and the default error dialog, failures escaping handlers,
// the clipboard, and the main loop's handling of a request to end.
#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "window/desktop/Clipboard.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Events.h"
#include "window/desktop/Forms.h"
#include "window/desktop/Menus.h"
#include "window/desktop/Timer.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <stdexcept>

using namespace desktop;

namespace {
// Bounds a wait for something that is bound to come, so a fault shows as a
// wrong outcome instead of a hang.
constexpr qint64 kLongWaitMs = 30000;
}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    InitializeDesktop();
    platform::Application().Title = "Mail Vandoler";
  }

  void init() { platform::Application().Terminated = false; }

  void recorderTakesEveryBoxInOrder() {
    TMessageBoxRecorder boxes;
    QCOMPARE(MessageBox("Anmeldung nicht möglich", "Mailbox", MB_OK), IDOK);
    MessageBox("Serververbindung nicht möglich", "Anmeldung");
    QCOMPARE(boxes.Calls().size(), size_t(2));
    QCOMPARE(boxes.Calls()[0].Caption, std::string("Mailbox"));
    QCOMPARE(boxes.Calls()[1].Text, std::string("Serververbindung nicht möglich"));
    QVERIFY(boxes.Calls()[1].Icon() == TMsgIcon::None);
    {
      // A nested recorder hands the hook back when it ends.
      TMessageBoxRecorder inner;
      MessageBox("inner", "x");
      QCOMPARE(inner.Calls().size(), size_t(1));
    }
    MessageBox("outer again", "x");
    QCOMPARE(boxes.Calls().size(), size_t(3));
  }

  void errorTextFullStopRule_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain text") << "Connection Timed out" << "Connection Timed out.";
    QTest::newRow("already a full stop") << "Fertig." << "Fertig.";
    QTest::newRow("empty stays empty") << "" << "";
    QTest::newRow("exclamation sorts before") << "Halt!" << "Halt!";
    QTest::newRow("closing paren sorts before") << "Fehler (10061)" << "Fehler (10061)";
    QTest::newRow("comma sorts before") << "a," << "a,";
    QTest::newRow("hyphen sorts before") << "a-" << "a-";
    QTest::newRow("blank sorts before") << "-ERR no such message " << "-ERR no such message ";
    QTest::newRow("slash sorts after") << "a/" << "a/.";
    QTest::newRow("question mark sorts after") << "Wie?" << "Wie?.";
    QTest::newRow("digit sorts after") << "-ERR 42" << "-ERR 42.";
    QTest::newRow("umlaut at the end") << QString::fromUtf8("Prüfung fehlgeschlagen: ö")
                                       << QString::fromUtf8("Prüfung fehlgeschlagen: ö.");
  }

  void errorTextFullStopRule() {
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(QString::fromStdString(ErrorDialogText(message.toStdString())), shown);
  }

  void failureInAHandlerShowsTheDefaultDialogAndGoesOn() {
    TMessageBoxRecorder boxes;
    bool after = false;
    Invoke([] { throw platform::FileOpenError("/x/Kelvo_Mailboxen_Bsp.txt"); });
    Invoke([] { throw std::runtime_error("kaputt"); });
    Invoke([] { throw 42; });
    Invoke([&] { after = true; });
    QVERIFY(after);
    QCOMPARE(boxes.Calls().size(), size_t(3));
    QCOMPARE(boxes.Calls()[0].Text,
             std::string("Datei /x/Kelvo_Mailboxen_Bsp.txt kann nicht geöffnet werden."));
    QCOMPARE(boxes.Calls()[0].Caption, std::string("Mail Vandoler"));
    QVERIFY(boxes.Calls()[0].Icon() == TMsgIcon::Error);
    QCOMPARE(boxes.Calls()[1].Text, std::string("kaputt."));
  }

  void failuresOfMenuChoicesAndTimerTicksReachTheDialog() {
    TMessageBoxRecorder boxes;
    TForm form;
    TMainMenu menu(&form);
    auto* item = new TMenuItem(menu.Items(), "mm_info", "? Hilfe");
    item->OnClick = [](platform::TObject*) { throw platform::Exception("Menu failed"); };
    item->QtAction()->trigger();
    QCOMPARE(boxes.Texts(), std::vector<std::string>{"Menu failed."});

    TTimer timer(&form);
    timer.SetInterval(10);
    int ticks = 0;
    timer.SetOnTimer([&](platform::TObject*) {
      ++ticks;
      throw platform::Exception("Socket readln aborted");
    });
    QTRY_VERIFY(ticks >= 2);  // the timer goes on after a failure
    timer.SetEnabled(false);
    QCOMPARE(boxes.Calls()[1].Text, std::string("Socket readln aborted."));
    QCOMPARE(boxes.Calls()[1].Caption, std::string("Mail Vandoler"));
  }

  void realBoxIsModalWithItsIconAndTexts() {
    // The one place where a real box opens: a timer closes it.
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer::singleShot(50, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      title = box->windowTitle();
      text = box->text();
      icon = box->icon();
      box->accept();
    });
    QCOMPARE(MessageBox("Datei x kann nicht erstellt werden.", "Mail Vandoler", MB_OK | MB_ICONSTOP), IDOK);
    QCOMPARE(title, QString("Mail Vandoler"));
    QCOMPARE(text, QString("Datei x kann nicht erstellt werden."));
    QCOMPARE(icon, QMessageBox::Critical);
  }

  // Server text in a box is shown as it came: markup stays text, nothing is
  // loaded. A short text still gives a box wide enough for its caption.
  void realBoxShowsPlainTextAndFitsItsCaption_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("markup") << QByteArray(
        "-ERR <h1>Konto gesperrt</h1> <font color=red>jetzt</font> <a href='http://x.test'>hier</a> "
        "<img src='file:///etc/passwd'>.");
    QTest::newRow("entity and break") << QByteArray("&lt;b&gt; a<br>b.");
    QTest::newRow("short") << QByteArray("x.");
  }

  void realBoxShowsPlainTextAndFitsItsCaption() {
    QFETCH(QByteArray, text);
    const QString shown = QString::fromUtf8(text);
    Qt::TextFormat format = Qt::AutoText;
    QString labelText;
    bool labelPlain = false;
    int width = 0;
    int labelWidth = 0;
    QFont font;
    QTimer::singleShot(50, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      format = box->textFormat();
      auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
      QVERIFY(label);
      labelText = label->text();
      labelPlain = label->textFormat() == Qt::PlainText;
      labelWidth = label->width();
      width = box->width();
      font = box->font();
      box->accept();
    });
    QCOMPARE(MessageBox(text.toStdString(), "Mail Vandoler", MB_OK | MB_ICONSTOP), IDOK);
    QCOMPARE(format, Qt::PlainText);
    QVERIFY(labelPlain);
    QCOMPARE(labelText, shown);
    // Room for the caption in the title bar's bold face and for three
    // title buttons beside it.
    font.setBold(true);
    const int caption = QFontMetrics(font).horizontalAdvance(QStringLiteral("Mail Vandoler"));
    QVERIFY2(width >= caption + 3 * QFontMetrics(font).height(),
             qPrintable(QString("box %1, caption %2").arg(width).arg(caption)));
    QVERIFY(labelWidth > 0);
  }

  void clipboardPlainTextAndRefusal() {
    const std::string exported = "[Subject]\r\n< Gr\xfc\xdf" "e\r\n\r\n[From]\r\n\r\n";
    ClipboardSetText(exported);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QString::fromUtf8("[Subject]\r\n< Grüße\r\n\r\n[From]\r\n\r\n"));
    ClipboardSetText("UTF-8 \xc3\xbc");
    QCOMPARE(ClipboardText(), std::string("UTF-8 \xc3\xbc"));
    // Each line is shown in its own code page; the bytes come back whole.
    const std::string mixed = "< Gr\xc3\xbc\xc3\x9f" "e\r\n< Gr\xfc\xdf" "e\n\r\n< \xe2\x82\xac\r< \x80 \xe2\x82\xac";
    ClipboardSetText(mixed);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QString::fromUtf8("< Grüße\r\n< Grüße\n\r\n< €\r< € â\u201a¬"));
    QCOMPARE(ClipboardText(), mixed);
    // Text another program put there comes as UTF-8.
    QGuiApplication::clipboard()->setText(QString::fromUtf8("fremd ü"));
    QCOMPARE(ClipboardText(), std::string("fremd \xc3\xbc"));
    ClipboardSetText("UTF-8 \xc3\xbc");

    auto previous = SetClipboardOpenHook([] { return false; });
    try {
      ClipboardSetText("new");
      QFAIL("the clipboard was taken");
    } catch (const platform::EClipboardException& e) {
      QCOMPARE(e.Message(), std::string("Zwischenablage kann nicht geöffnet werden"));
    }
    SetClipboardOpenHook(previous);
    QCOMPARE(ClipboardText(), std::string("UTF-8 \xc3\xbc"));  // kept its contents
  }

  void formCreationFailureIsShownBeforeTheForm() {
    TMessageBoxRecorder boxes;
    bool visibleAtBox = true;
    boxes.WhileOpen = [&](const TMessageBoxCall&) {
      visibleAtBox = MainForm() && MainForm()->isVisible();
    };
    struct Form : TForm {
      int steps = 0;
      Form() {
        OnCreate = [this](platform::TObject*) {
          ++steps;
          throw platform::FileOpenError("/p/Kelvo_Mailboxen_Bsp.txt");
        };
      }
    };
    SetMainForm(nullptr);
    Form* form = CreateForm<Form>();
    QCOMPARE(MainForm(), static_cast<TForm*>(form));
    QCOMPARE(form->steps, 1);
    QCOMPARE(boxes.Texts(), std::vector<std::string>{"Datei /p/Kelvo_Mailboxen_Bsp.txt kann nicht geöffnet werden."});
    QVERIFY(!visibleAtBox);
    delete form;
    QCOMPARE(MainForm(), static_cast<TForm*>(nullptr));
  }

  // A request to end taken while a handler waits does not end the wait;
  // the loop ends once the handler has returned, and the form still exists.
  void quitDuringANestedWaitEndsTheLoopAfterTheHandler() {
    SetMainForm(nullptr);
    auto* form = CreateForm<TForm>();
    form->SetOuterSize(300, 200);
    std::vector<std::string> order;
    QTimer::singleShot(0, form, [&] {
      Invoke([&] {
        order.push_back("handler starts");
        QTimer::singleShot(20, form, [&] {
          order.push_back("close box");
          form->close();  // the main form's close box
        });
        // A wait that pumps until the close box has been clicked (an order,
        // not a time: the timer may come late under load).
        QElapsedTimer waited;
        waited.start();
        while (order.back() != "close box" && waited.elapsed() < kLongWaitMs) ProcessMessages();
        order.push_back(platform::Application().Terminated ? "wait ends, end noted" : "wait ends");
        QVERIFY(form->isVisible());
      });
    });
    Run();
    order.push_back("loop ended");
    const std::vector<std::string> expected = {"handler starts", "close box", "wait ends, end noted",
                                               "loop ended"};
    QCOMPARE(order, expected);
    QVERIFY(form->isVisible());  // closing did not free or hide the form
    delete form;
  }

  void terminateEndsTheLoop() {
    SetMainForm(nullptr);
    auto* form = CreateForm<TForm>();
    QTimer::singleShot(10, [] { Terminate(); });
    Run();
    QVERIFY(platform::Application().Terminated);
    delete form;
  }
};

QTEST_MAIN(DialogsTest)
#include "DialogsTest.moc"

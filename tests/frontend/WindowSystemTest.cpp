// What the X server gets from the window, with no window manager to change
// it: run under Xvfb (xvfb-run) on the xcb platform. The titles must be the
// window's and the message boxes' own captions, and the window must stand in
// the middle of the screen.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "FakeEngine.h"
#include "FakePlatform.h"
#include "MainFrm.h"
#include "QtPlatform.h"

using namespace test;

namespace {

xcb_connection_t *Connection()
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t Atom(const char *name)
{
    xcb_connection_t *c = Connection();
    xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
    const xcb_atom_t atom = r ? r->atom : XCB_ATOM_NONE;
    free(r);
    return atom;
}

// A text property of the window as the server holds it.
QString Property(WId window, xcb_atom_t property)
{
    xcb_connection_t *c = Connection();
    xcb_get_property_reply_t *r = xcb_get_property_reply(
        c, xcb_get_property(c, 0, xcb_window_t(window), property, XCB_ATOM_ANY, 0, 1024), nullptr);
    QString value;
    if (r)
        value = QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(r)),
                                  xcb_get_property_value_length(r));
    free(r);
    return value;
}

QStringList Titles(WId window)
{
    xcb_flush(Connection());
    return {Property(window, XCB_ATOM_WM_NAME), Property(window, Atom("_NET_WM_NAME"))};
}

class WindowSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Connection())
            GTEST_SKIP() << "not on an X server";
        FakeScript() = FakeEngineScript{};
    }
    FakePlatform platform;
};

TEST_F(WindowSystem, TitlesAreTheCaptionsAndTheWindowIsCentred)
{
    TMainForm form(platform, &FakeRecoverFile, {}, QString(ORVANE_PATH));
    form.FormCreate();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(Titles(form.winId()), QStringList(2, "Velmora v1.1"));

    // Where the server has the window, in the root window's coordinates.
    xcb_connection_t *c = Connection();
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_translate_coordinates_reply_t *at = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, xcb_window_t(form.winId()), screen->root, 0, 0), nullptr);
    ASSERT_NE(at, nullptr);
    EXPECT_NEAR(at->dst_x, (screen->width_in_pixels - form.width()) / 2, 1);
    EXPECT_NEAR(at->dst_y, (screen->height_in_pixels - form.height()) / 2, 1);
    free(at);

    // The message boxes of the real platform.
    QtPlatform real("velmora-window-system-test", "/nonexistent/orvane");
    for (const auto &[caption, icon] :
         {std::pair{"Error", MessageIcon::Error}, std::pair{"Information", MessageIcon::Information}}) {
        QStringList seen;
        QTimer::singleShot(0, [&] {
            QTimer *poll = new QTimer;
            QObject::connect(poll, &QTimer::timeout, [&, poll] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                if (!box || !box->isVisible() || !QTest::qWaitForWindowExposed(box))
                    return;
                poll->deleteLater();
                seen = Titles(box->winId());
                box->accept();
            });
            poll->start(20);
        });
        real.ShowMessage(&form, "Cannot open file /nowhere/lost.psd", caption, icon);
        EXPECT_EQ(seen, QStringList(2, caption));
    }
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

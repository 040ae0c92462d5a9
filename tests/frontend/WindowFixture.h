// The real window over the fake platform and the fake engine.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>

#include "DragEdit.h"
#include "EngineHarness.h"
#include "FakeEngine.h"
#include "FakePlatform.h"
#include "MainFrm.h"

namespace test {

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override { FakeScript() = FakeEngineScript{}; }

    TMainForm &Create(QStringList args = {}, RecoverFileFn engine = &FakeRecoverFile)
    {
        form = std::make_unique<TMainForm>(platform, engine, args, QString(ORVANE_PATH));
        form->FormCreate();
        return *form;
    }
    /// Destroys the window (FormDestroy saves the settings).
    void Destroy() { form.reset(); }

    template <class T> T *W(const char *name) const
    {
        T *w = form->findChild<T *>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QStringList LogLines() const
    {
        const QString text = W<QPlainTextEdit>("txtRepairLog")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }
    QStringList Messages() const
    {
        QStringList out;
        for (const Message &m : platform.messages)
            out << m.caption + ": " + m.text;
        return out;
    }

    FakePlatform platform;
    std::unique_ptr<TMainForm> form;
};

} // namespace test

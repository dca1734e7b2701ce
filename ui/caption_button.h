#pragma once

#include <QPushButton>

#include <optional>

namespace velmora {

// A push button of the window. Its caption keeps to the button's described size: where the
// user's font is too large for it, the caption alone is drawn smaller, fitted once per size,
// font and style rather than on every paint. Enter and Return press it, as Space does.
class CaptionButton final : public QPushButton {
    Q_OBJECT

public:
    explicit CaptionButton(const QString &caption, QWidget *parent = nullptr);

    // Captions the fitted font must also fit: those of buttons standing in a row with this one,
    // so that the row shares one size, as the indicators do.
    void setFittingCaptions(const QStringList &captions);

    // The room the style leaves the caption inside the button's bevel and margins, and the
    // font the caption is drawn in; public so that tests can check that nothing is clipped.
    QSize captionRoom() const;
    QFont captionFont() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QStringList m_fittingCaptions;
    mutable std::optional<QFont> m_captionFont;
    mutable QString m_fittedText;
};

} // namespace velmora

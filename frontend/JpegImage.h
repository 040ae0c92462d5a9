// The banner picture is a JPEG, decoded with libjpeg.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

/// Decodes JPEG bytes; a null image when they are no JPEG.
QImage DecodeJpeg(const QByteArray &bytes);

/// Decodes the JPEG of a Qt resource (":/banner.jpg").
QImage DecodeJpegResource(const QString &resource);

#include "mimebuilder.h"

QByteArray BuildMimeMessage(const MapiMessage& message)
{
    QByteArray out = "MIME-Version: 1.0\r\nSubject: " + message.subject.toUtf8() + "\r\n\r\n";
    out += message.plainBody.toUtf8();
    return out;
}

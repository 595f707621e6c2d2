#include "dialog/modCommonDialog.h"

#include <QChar>
#include <QDir>
#include <QFileDialog>

QString ReplaceAll(QString& text, const QString& find, const QString& replacement) {
    QString result;
    if (find.isEmpty()) {
        return result + text;
    }
    for (;;) {
        const qsizetype p = text.indexOf(find, 0, Qt::CaseInsensitive);
        if (p < 0) {
            break;
        }
        result += text.left(p) + replacement;
        text = text.mid(p + find.size());
    }
    return result + text;
}

QStringList DialogNameFilters(const QString& filter) {
    QString text = filter;
    const QString nul(QChar(u'\0'));
    const QStringList parts = ReplaceAll(text, QStringLiteral("|"), nul).split(nul);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        QString patterns = parts[i + 1];
        patterns.replace(u';', u' ');
        patterns = patterns.simplified();
        if (patterns.isEmpty()) {
            continue;
        }
        // The dialog takes its patterns from the last "(...)" of a name filter; a description
        // that already ends with them is shown as it is.
        const QString suffix = QStringLiteral("(%1)").arg(patterns);
        if (description.endsWith(suffix)) {
            filters << description;
        } else if (description.isEmpty()) {
            filters << suffix;
        } else {
            filters << QStringLiteral("%1 %2").arg(description, suffix);
        }
    }
    return filters;
}

QString ShowFileDialog(const QString& title, const QString& filter, QWidget* owner) {
    QFileDialog dialog(owner, title, QDir::currentPath());
    dialog.setObjectName(QStringLiteral("fileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // No existence check: the output browse button picks names that do not exist yet.
    dialog.setFileMode(QFileDialog::AnyFile);
    const QStringList filters = DialogNameFilters(filter);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

QString ShowSaveDialog(const QString& title, const QString& filter, const QString& folder,
                       const QString& name, QWidget* owner) {
    QFileDialog dialog(owner, title, folder.isEmpty() ? QDir::currentPath() : folder);
    dialog.setObjectName(QStringLiteral("saveDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    const QStringList filters = DialogNameFilters(filter);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
    }
    if (!name.isEmpty()) {
        dialog.selectFile(name);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

#pragma once

// The file dialog behind both browse buttons, and the string routine that turns a
// "description|pattern|..." filter into the dialog's own filter list.

#include <QString>
#include <QStringList>

class QWidget;

// Returns `text` with every occurrence of `find` replaced by `replacement`. The search ignores
// case; the characters copied keep theirs, and a replacement is never searched again.
// `text` is consumed: afterwards it holds what followed the last occurrence (all of it when
// there was none). An empty `find` matches nothing.
QString ReplaceAll(QString& text, const QString& find, const QString& replacement);

// "N64 ROMs (*.*64)|*.*64" -> {"N64 ROMs (*.*64)"}: one name filter per description/pattern
// pair, in the form the dialog shows and matches. Patterns separated by ";" are all kept.
QStringList DialogNameFilters(const QString& filter);

// Shows the open-file dialog, starting in the current directory. Returns the chosen path as
// chosen (case kept), or "" when the user cancels. The file need not exist, so the same
// dialog serves for the output path.
QString ShowFileDialog(const QString& title, const QString& filter, QWidget* owner = nullptr);

// Shows the save-file dialog for the output, starting in `folder` (the current directory when
// empty) with `name` filled in. It asks nothing about a file that exists: the window asks once,
// when it knows whether the file is the user's. Returns the chosen path, or "" on cancel.
QString ShowSaveDialog(const QString& title, const QString& filter, const QString& folder,
                       const QString& name, QWidget* owner = nullptr);

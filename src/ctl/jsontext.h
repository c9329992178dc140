// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QJsonValue>

#include <string>
#include <utility>
#include <vector>

// A JSON object whose members stay in the order they were added, laid out
// as sonvalectl prints its documents: one member a line, arrays of values
// on the line of their member, arrays of objects one object a line.
// QJsonDocument writes every value (strings escaped, numbers formatted);
// only the order and the line breaks are chosen here, as a QJsonObject
// would sort the members by name (and so would a QJsonArray of them).
class JsonText {
public:
    // A value or an array of values, written on one line.
    JsonText& add(const char* key, const QJsonValue& value);
    // A value already written as JSON: a nested object or array.
    JsonText& addJson(const char* key, std::string json);
    // An array of objects, each kept in its members' order: in lines() one
    // object a line, indented by `indent` + 4; in oneLine() on the line.
    JsonText& addObjects(const char* key, const std::vector<JsonText>& objects);

    // The object over several lines, its members indented by `indent` + 2
    // and its closing brace by `indent`.
    std::string lines(int indent = 0) const;
    // The object on one line: {"a": 1, "b": 2}
    std::string oneLine() const;

    // One value as QJsonDocument writes it; arrays as [1, 2, 3].
    static std::string value(const QJsonValue& value);

private:
    struct Member {
        std::string key;  // written, quoted
        std::string json; // the value written, unless an array of objects
        bool objectArray = false;
        std::vector<std::string> objects; // of an array of objects, each on one line
    };

    // The member's value; arrays of objects laid out for lines(indent), or
    // on one line when `indent` is negative.
    static std::string written(const Member& member, int indent);

    std::vector<Member> members;
};

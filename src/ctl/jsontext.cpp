// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/jsontext.h"

#include <QJsonArray>
#include <QJsonDocument>

JsonText& JsonText::add(const char* key, const QJsonValue& json)
{
    return addJson(key, value(json));
}

JsonText& JsonText::addJson(const char* key, std::string json)
{
    Member member;
    member.key = value(QString::fromUtf8(key));
    member.json = std::move(json);
    members.push_back(std::move(member));
    return *this;
}

JsonText& JsonText::addObjects(const char* key, const std::vector<JsonText>& objects)
{
    Member member;
    member.key = value(QString::fromUtf8(key));
    member.objectArray = true;
    for (const JsonText& object : objects)
        member.objects.push_back(object.oneLine());
    members.push_back(std::move(member));
    return *this;
}

std::string JsonText::written(const Member& member, int indent)
{
    if (!member.objectArray)
        return member.json;
    if (member.objects.empty())
        return "[]";
    const std::string between = indent < 0 ? ", " : ",\n" + std::string(size_t(indent) + 4, ' ');
    std::string text = indent < 0 ? "[" : "[\n" + std::string(size_t(indent) + 4, ' ');
    for (size_t i = 0; i < member.objects.size(); ++i)
        text += (i ? between : "") + member.objects[i];
    return text + (indent < 0 ? "]" : "\n" + std::string(size_t(indent) + 2, ' ') + "]");
}

std::string JsonText::value(const QJsonValue& json)
{
    if (json.isArray()) {
        std::string text = "[";
        const QJsonArray array = json.toArray();
        for (qsizetype i = 0; i < array.size(); ++i)
            text += (i ? ", " : "") + value(array.at(i));
        return text + "]";
    }
    // QJsonDocument writes a document, an array or an object: the value
    // alone is that of a one-value array.
    const QByteArray array = QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2).toStdString();
}

std::string JsonText::lines(int indent) const
{
    const std::string margin(size_t(indent) + 2, ' ');
    std::string text = "{\n";
    for (size_t i = 0; i < members.size(); ++i)
        text += margin + members[i].key + ": " + written(members[i], indent)
                + (i + 1 < members.size() ? ",\n" : "\n");
    return text + std::string(size_t(indent), ' ') + "}";
}

std::string JsonText::oneLine() const
{
    std::string text = "{";
    for (size_t i = 0; i < members.size(); ++i)
        text += (i ? ", " : "") + members[i].key + ": " + written(members[i], -1);
    return text + "}";
}

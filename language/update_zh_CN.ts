<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>CBegingUpdater</name>
    <message>
        <source>Updating...</source>
        <translation>正在更新...</translation>
    </message>
    <message>
        <source>New version downloaded successfully!</source>
        <translation>新版本下载成功！</translation>
    </message>
</context>
<context>
    <name>InfomationDialog</name>
    <message>
        <source>Update notice</source>
        <translation>更新提示</translation>
    </message>
</context>
<context>
    <name>UpdateDialog</name>
    <message>
        <source>Update notice</source>
        <translation>更新提示</translation>
    </message>
    <message>
        <source>Downloading, please wait...</source>
        <translation>正在下载，请稍候...</translation>
    </message>
    <message>
        <source>Retrieving update...</source>
        <translation>正在获取更新...</translation>
    </message>
</context>
</TS>

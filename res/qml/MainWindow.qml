// Main window: the window grid (one tile per window of the current layout, placed by the
// layout geometry document) and, beside it, the embedded web UI.
//
// Context properties: daemonService (control service), sourceManager (source table),
// initialUrl (web UI address; its port is also used to read window names).
import QtQuick
import QtQuick.Window
import QtQuick.Dialogs
import QtWebEngine

Window {
    id: root
    x: 0
    y: 0
    width: Math.min(1600, Screen.desktopAvailableWidth > 0 ? Screen.desktopAvailableWidth : 1600)
    height: Math.min(900, Screen.desktopAvailableHeight > 0 ? Screen.desktopAvailableHeight : 900)
    minimumWidth: 960
    minimumHeight: 540
    visible: true
    color: "#0b0e13"
    title: qsTr("Desk Recorder")

    readonly property int maxWindows: 20
    // Layout catalogue from the geometry document: [{id, number, position: [{x,y,width,height}]}]
    property var layouts: []
    property int layoutId: 1
    property int windowCount: 1
    readonly property var rects: rectsOf(layoutId)
    // Where the video item of each tile comes from once the renderer exists: a Component
    // whose root has `source` (string) and `position` (int) properties, and may have the
    // signal notifyLoading(string state, int progress) ("idle", "loading", "play",
    // "failed") and the method applyNtp(string server). Null shows the tile's text state.
    property Component videoComponent: Qt.createComponent("VideoTile.qml")
    // Position of the tile enlarged to fill the grid (shown in high bandwidth), 0 for none.
    property int enlargedPosition: 0

    // Per-window state, index = position - 1.
    ListModel { id: windowModel }

    Component.onCompleted: {
        for (let i = 1; i <= maxWindows; ++i)
            windowModel.append({ position: i, name: "", source: "", showVideo: true,
                                 showVolume: true, audioOn: false, videoState: "idle",
                                 alarms: "" })
    }

    function rectsOf(id) {
        for (let i = 0; i < layouts.length; ++i)
            if (layouts[i].id === id)
                return layouts[i].position || []
        return [{ x: 0, y: 0, width: 100, height: 100 }]
    }

    function windowAt(position) {
        return (position >= 1 && position <= maxWindows) ? windowModel.get(position - 1) : null
    }


    function setLayout(id, count) {
        enlargedPosition = 0
        layoutId = id
        windowCount = Math.max(0, Math.min(count, maxWindows))
        refreshNames()
    }

    function replayWindows() {
        for (let i = 1; i <= windowCount; ++i)
            daemonService.sendCurrentVideo(true, i)
    }

    // Names are not carried by the signals: read them from the output route. Sources,
    // display flags and audio follow the signals only, so sinks stay in step.
    function refreshNames() { namesTimer.restart() }
    Timer {
        id: namesTimer
        interval: 100
        onTriggered: {
            const request = new XMLHttpRequest()
            const base = String(initialUrl).replace(/\/index\.html.*$/, "")
            request.onreadystatechange = function() {
                if (request.readyState !== XMLHttpRequest.DONE || request.status !== 200)
                    return
                let doc
                try { doc = JSON.parse(request.responseText) } catch (e) { return }
                const list = (doc.data && doc.data.layout) || []
                for (let i = 0; i < list.length; ++i) {
                    const w = windowAt(list[i].id)
                    if (!w)
                        continue
                    w.name = list[i].name || ""
                }
            }
            request.open("GET", base + "/api/output/get.json")
            // With an access token, the start-up hands it in the address fragment.
            const token = /#token=([^&]*)/.exec(String(initialUrl))
            if (token)
                request.setRequestHeader("Authorization", "Bearer " + decodeURIComponent(token[1]))
            request.send()
        }
    }

    Connections {
        target: daemonService
        function onCallQmlLoadCali(jsonString, initId) {
            let doc
            try { doc = JSON.parse(jsonString) } catch (e) {
                console.warn("layout geometry is not JSON:", e)
                return
            }
            root.layouts = doc.data || []
            let count = 1
            for (let i = 0; i < root.layouts.length; ++i)
                if (root.layouts[i].id === initId)
                    count = root.layouts[i].number
            root.setLayout(initId, count)
            root.replayWindows()
        }
        function onSendLayout(layoutId, count) { root.setLayout(layoutId, count) }
        function onSendSource(position, source) {
            const w = root.windowAt(position)
            if (!w)
                return
            w.source = source
            w.videoState = source === "" ? "idle" : "loading"
            if (w.audioOn) {
                daemonService.removeSink(position)
                if (source !== "")
                    daemonService.addNewSink(position, source)
            }
        }
        function onRemoveSource(position) {
            const w = root.windowAt(position)
            if (!w)
                return
            if (w.audioOn)
                daemonService.removeSink(position)
            if (root.enlargedPosition === position)
                root.enlargedPosition = 0
            w.source = ""
            w.audioOn = false
            w.showVideo = true
            w.showVolume = true
            w.videoState = "idle"
        }
        function onShowSingleVideo(position, showVideo, showVolume) {
            const w = root.windowAt(position)
            if (!w)
                return
            w.showVideo = showVideo
            w.showVolume = showVolume
        }
        function onShowAllVideo(showVideo) {
            for (let i = 0; i < windowModel.count; ++i)
                windowModel.get(i).showVideo = showVideo
        }
        function onSendAudioState(position, enable) {
            const w = root.windowAt(position)
            if (!w || w.audioOn === enable)
                return
            w.audioOn = enable
            if (enable && w.source !== "")
                daemonService.addNewSink(position, w.source)
            else if (!enable)
                daemonService.removeSink(position)
        }
        function onUpdateSource() { root.refreshNames() }
        function onApplySingleNtp(position, server) {
            const tile = tiles.itemAt(position - 1)
            if (tile && tile.video && typeof tile.video.applyNtp === "function")
                tile.video.applyNtp(server)
        }
        function onOpenFileDialog() { folderDialog.open() }
        function onAlarmChanged(position, alarms) {
            const w = root.windowAt(position)
            if (w)
                w.alarms = alarms
        }
    }

    FolderDialog {
        id: folderDialog
        title: qsTr("Folder for recordings")
        onAccepted: {
            // A local path, not a URL: "file:///data/rec" becomes "/data/rec".
            const path = decodeURIComponent(String(selectedFolder).replace(/^file:\/\//, ""))
            daemonService.setFolderPath(path)
        }
    }

    onClosing: daemonService.closeWindow()

    // ---------------------------------------------------------------- window grid
    Rectangle {
        id: gridArea
        objectName: "gridArea"
        anchors { left: parent.left; top: parent.top; bottom: parent.bottom }
        width: parent.width - webPanel.width
        color: "#0b0e13"

        Repeater {
            id: tiles
            model: windowModel
            delegate: Item {
                id: tile
                readonly property int position: index + 1
                readonly property var rect: root.rects[index] || { x: 0, y: 0, width: 0, height: 0 }
                readonly property string sourceName: model.source
                readonly property var video: videoSlot.item
                readonly property bool enlarged: root.enlargedPosition === position
                visible: index < root.windowCount && index < root.rects.length
                z: enlarged ? 1 : 0
                x: enlarged ? 2 : gridArea.width * rect.x / 100 + 2
                y: enlarged ? 2 : gridArea.height * rect.y / 100 + 2
                width: Math.max(0, (enlarged ? gridArea.width : gridArea.width * rect.width / 100) - 4)
                height: Math.max(0, (enlarged ? gridArea.height : gridArea.height * rect.height / 100) - 4)

                Rectangle {
                    anchors.fill: parent
                    color: "#1b2330"
                    border.color: model.audioOn ? "#3fb950" : "#1b2330"
                    border.width: 2
                }

                // Video slot: the renderer item fills the tile when it exists.
                Loader {
                    id: videoSlot
                    objectName: "videoSlot"
                    anchors.fill: parent
                    anchors.margins: 2
                    active: root.videoComponent !== null && tile.sourceName !== "" && tile.visible
                    visible: model.showVideo
                    sourceComponent: root.videoComponent
                    onLoaded: {
                        item.position = Qt.binding(function() { return tile.position })
                        item.source = Qt.binding(function() { return tile.sourceName })
                        item.audioOn = Qt.binding(function() { return model.audioOn })
                        item.showVolume = Qt.binding(function() { return model.showVolume })
                        item.enlarged = Qt.binding(function() { return tile.enlarged })
                        item.toggleEnlarge.connect(function() {
                            root.enlargedPosition = tile.enlarged ? 0 : tile.position
                        })
                    }
                    onActiveChanged: if (!active) windowModel.setProperty(index, "videoState", "idle")
                }
                Connections {
                    target: videoSlot.item
                    ignoreUnknownSignals: true
                    function onNotifyLoading(state, progress) {
                        windowModel.setProperty(index, "videoState", state)
                    }
                }

                Text {
                    anchors.centerIn: parent
                    width: parent.width - 16
                    horizontalAlignment: Text.AlignHCenter
                    elide: Text.ElideRight
                    color: "#8b949e"
                    font.pixelSize: Math.max(12, Math.min(22, tile.height / 10))
                    visible: !videoSlot.item || !model.showVideo
                    text: {
                        if (tile.sourceName === "")
                            return qsTr("No source")
                        if (!model.showVideo)
                            return qsTr("Video hidden")
                        if (model.videoState === "failed")
                            return qsTr("No signal")
                        if (model.videoState === "play")
                            return ""
                        return qsTr("Waiting for video")
                    }
                }

                // Title bar: position and name, audio mark.
                Rectangle {
                    anchors { left: parent.left; right: parent.right; top: parent.top; margins: 2 }
                    height: 24
                    color: "#0d1117"
                    Text {
                        anchors { left: parent.left; leftMargin: 6; right: audioMark.left
                                  verticalCenter: parent.verticalCenter }
                        elide: Text.ElideRight
                        color: "#e6edf3"
                        font.pixelSize: 13
                        text: tile.position + "  " + (model.name !== ""
                                                      ? model.name
                                                      : qsTr("Window %1").arg(tile.position))
                    }
                    Text {
                        id: audioMark
                        anchors { right: parent.right; rightMargin: 6; verticalCenter: parent.verticalCenter }
                        color: "#3fb950"
                        font.pixelSize: 12
                        text: model.audioOn ? qsTr("Audio on") : ""
                    }
                }

                // Active alarms (black, frozen, silent, nosignal): a red frame with their names.
                Rectangle {
                    objectName: "alarmFrame"
                    anchors.fill: parent
                    visible: model.alarms !== "" && tile.visible
                    color: "transparent"
                    border.color: "#f85149"
                    border.width: 4
                    Rectangle {
                        anchors { horizontalCenter: parent.horizontalCenter; top: parent.top; topMargin: 30 }
                        width: alarmText.implicitWidth + 16
                        height: alarmText.implicitHeight + 6
                        radius: 3
                        color: "#f85149"
                        Text {
                            id: alarmText
                            anchors.centerIn: parent
                            color: "white"
                            font.pixelSize: 13
                            font.bold: true
                            text: model.alarms.split(",").map(function(kind) {
                                return kind === "black" ? qsTr("Black")
                                     : kind === "frozen" ? qsTr("Frozen")
                                     : kind === "silent" ? qsTr("Silent")
                                     : kind === "nosignal" ? qsTr("No signal") : kind
                            }).join("  ")
                        }
                    }
                }

                // Source name at the bottom.
                Text {
                    anchors { left: parent.left; right: parent.right; bottom: parent.bottom; margins: 8 }
                    elide: Text.ElideMiddle
                    color: "#c9d1d9"
                    font.pixelSize: 12
                    text: tile.sourceName
                }
            }
        }
    }

    // ---------------------------------------------------------------- embedded web UI
    Item {
        id: webPanel
        anchors { right: parent.right; top: parent.top; bottom: parent.bottom }
        width: Math.max(420, Math.round(root.width * 0.3))

        WebEngineView {
            id: webView
            objectName: "webView"
            anchors.fill: parent
            url: initialUrl
            onNewWindowRequested: function(request) { Qt.openUrlExternally(request.requestedUrl) }
        }
    }
}

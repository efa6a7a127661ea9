// Video of one window of the grid: the render item, two level meters, and a double-click
// that asks for the tile to be enlarged (shown in high bandwidth while enlarged, low
// otherwise). The main window creates one per tile that has a source and sets `position`
// and `source`; it may bind `audioOn`, `showVolume` and `enlarged`.
//
// Context property used: daemonService (setVolume for the levels the web UI shows).
import QtQuick
import SceneGraphRendering 1.0

Item {
    id: tile

    property int position: 0
    property string source: ""
    property bool audioOn: false
    property bool showVolume: true
    property bool enlarged: false
    // "idle", "loading", "play" or "failed", as the render item reports it.
    property string videoState: "idle"
    property int xres: 0
    property int yres: 0

    // Double-click on the video: enlarge this tile, or return from enlarged.
    signal toggleEnlarge()
    // The render item's loading state, passed on ("idle", "loading", "play", "failed").
    signal notifyLoading(string state, int progress)

    // Hands the clock server address to the source shown.
    function applyNtp(server) {
        renderer.applyNtp(server)
    }

    readonly property string bandwidth: enlarged ? "high" : "low"

    function apply() {
        renderer.changeSource(tile.source, tile.bandwidth)
    }

    onSourceChanged: apply()
    onBandwidthChanged: renderer.changeBandWidth(tile.bandwidth)
    onAudioOnChanged: renderer.setAudioEnable(tile.audioOn)
    Component.onCompleted: {
        apply()
        renderer.setAudioEnable(tile.audioOn)
    }

    Renderer {
        id: renderer
        objectName: "renderer"
        anchors.fill: parent
        onNotifyLoading: function(state, progress) {
            tile.videoState = state
            tile.notifyLoading(state, progress)
        }
        onResolutionChanged: function(x, y) {
            tile.xres = x
            tile.yres = y
        }
    }

    MouseArea {
        anchors.fill: parent
        onDoubleClicked: tile.toggleEnlarge()
    }

    // Levels: read from the render item, shown as two bars, handed to the control service
    // (which reports them as volume_1/volume_2 in the output status).
    property var levels: [-200, -200]
    Timer {
        interval: 100
        repeat: true
        running: tile.position > 0
        onTriggered: {
            const l = [renderer.getVolume(0), renderer.getVolume(1)]
            for (let c = 0; c < 2; ++c) {
                const dB = Math.round(l[c])
                if (dB !== Math.round(tile.levels[c]))
                    daemonService.setVolume(tile.position, c, dB)
            }
            tile.levels = l
        }
    }
    Component.onDestruction: {
        if (tile.position > 0) {
            daemonService.setVolume(tile.position, 0, -200)
            daemonService.setVolume(tile.position, 1, -200)
        }
    }

    Row {
        visible: tile.showVolume
        anchors { right: parent.right; rightMargin: 6; bottom: parent.bottom; bottomMargin: 28 }
        height: Math.max(20, parent.height * 0.4)
        spacing: 3
        Repeater {
            model: 2
            delegate: Rectangle {
                width: 6
                height: parent.height
                color: "#30000000"
                // -60 dBFS at the bottom, 0 dBFS at the top.
                readonly property real fraction:
                    Math.max(0, Math.min(1, (tile.levels[index] + 60) / 60))
                Rectangle {
                    anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
                    height: parent.height * parent.fraction
                    color: tile.levels[index] > -6 ? "#f85149"
                         : tile.levels[index] > -18 ? "#d29922" : "#3fb950"
                }
            }
        }
    }
}

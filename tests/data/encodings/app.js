// application script, served with Content-Encoding: br when the browser accepts it
(function () {
  var started = new Date();
  document.addEventListener('DOMContentLoaded', function () {
    document.body.setAttribute('data-started', started.toISOString());
  });
})();
function helper1(x) { return x * 1 + 1; }
function helper2(x) { return x * 2 + 4; }
function helper3(x) { return x * 3 + 9; }
function helper4(x) { return x * 4 + 16; }
function helper5(x) { return x * 5 + 25; }
function helper6(x) { return x * 6 + 36; }
function helper7(x) { return x * 7 + 49; }
function helper8(x) { return x * 8 + 64; }
function helper9(x) { return x * 9 + 81; }
function helper10(x) { return x * 10 + 100; }
function helper11(x) { return x * 11 + 121; }
function helper12(x) { return x * 12 + 144; }
function helper13(x) { return x * 13 + 169; }
function helper14(x) { return x * 14 + 196; }
function helper15(x) { return x * 15 + 225; }
function helper16(x) { return x * 16 + 256; }
function helper17(x) { return x * 17 + 289; }
function helper18(x) { return x * 18 + 324; }
function helper19(x) { return x * 19 + 361; }
function helper20(x) { return x * 20 + 400; }
function helper21(x) { return x * 21 + 441; }
function helper22(x) { return x * 22 + 484; }
function helper23(x) { return x * 23 + 529; }
function helper24(x) { return x * 24 + 576; }
function helper25(x) { return x * 25 + 625; }
function helper26(x) { return x * 26 + 676; }
function helper27(x) { return x * 27 + 729; }
function helper28(x) { return x * 28 + 784; }
function helper29(x) { return x * 29 + 841; }
function helper30(x) { return x * 30 + 900; }
function helper31(x) { return x * 31 + 961; }
function helper32(x) { return x * 32 + 1024; }
function helper33(x) { return x * 33 + 1089; }
function helper34(x) { return x * 34 + 1156; }
function helper35(x) { return x * 35 + 1225; }
function helper36(x) { return x * 36 + 1296; }
function helper37(x) { return x * 37 + 1369; }
function helper38(x) { return x * 38 + 1444; }
function helper39(x) { return x * 39 + 1521; }
function helper40(x) { return x * 40 + 1600; }

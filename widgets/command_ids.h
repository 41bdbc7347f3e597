// Command ids of the menus and toolbars (the client's own).
#pragma once

namespace zq::cmdid {

constexpr int OpenMessages = 32784;                // "打开消息管理器"
constexpr int Exit = 32785;                        // "退出(&X)"
constexpr int HomePage = 32787;                    // "访问官方网站"
constexpr int BlogPage = 32788;                    // "访问官方博客"
constexpr int SignalHelp = 32795;                  // "操盘信号说明"
constexpr int Reinitialise = 32803;                // "重新初始化"
constexpr int ModeStraightLine = 32811;            // "直线"
constexpr int ProductSetup = 32816;                // "产品设置"
constexpr int ModifyPosition = 32818;              // "修改订单"
constexpr int ModifyPending = 32819;               // "修改指价"
constexpr int ClosePosition = 32820;               // "市价平仓"
constexpr int DeletePending = 32821;               // "删除指价"
constexpr int NewPendingOrder = 32823;             // "新指价订单"
constexpr int NewMarketOrder = 32824;              // "新市价订单"
constexpr int TradeReport = 32826;                 // "交易报表"
constexpr int Relogin = 32832;                     // "重新登录"
constexpr int ShowCommandBar = 32867;              // "常用"
constexpr int ShowInstrumentBar = 32869;           // "工具箱"
constexpr int ModeDefault = 32871;                 // "默认(无)"
constexpr int ModeCross = 32873;                   // "十字光标"
constexpr int ModeMoveKLine = 32875;               // "移动K线"
constexpr int Deposit = 32877;                     // "入金"
constexpr int PriceAlerts = 32903;                 // "到价提醒"
constexpr int TradeStats = 32904;                  // "Quorvex统计"
constexpr int HeikinAshi = 32909;                  // "Heikin Ashi均线K线"
constexpr int Period120 = 32910;                   // "H2"
constexpr int Period240 = 32911;                   // "H4"
constexpr int Period480 = 32912;                   // "H8"
constexpr int PeriodDay = 32913;                   // "D1"
constexpr int ModeParallelLines = 32915;           // "平行线"
constexpr int ClearTools = 32916;                  // "清除工具线"
constexpr int Period60 = 32917;                    // "H1"
constexpr int Period30 = 32918;                    // "30"
constexpr int Period15 = 32919;                    // "15"
constexpr int ProgramTrading = 32950;              // "程序化交易"
constexpr int ModeSymmetricParallelLines = 32957;  // "对称平行线"
constexpr int About = 57664;                       // "关于 ZelvanQuorvex(&A)..."

// The instruments' menu and toolbar commands: InstrumentBase + instrument id (1..42).
constexpr int InstrumentBase = 30000;
constexpr int Instrument(int id) {
    return InstrumentBase + id;
}

}  // namespace zq::cmdid

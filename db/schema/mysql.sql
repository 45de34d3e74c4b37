-- Site database for MariaDB/MySQL. Run the server with lower_case_table_names=1.
-- `loop` is a reserved word here and is always quoted.

CREATE TABLE IF NOT EXISTS `loop` (
  id int NOT NULL PRIMARY KEY,
  name varchar(64) NOT NULL DEFAULT '',
  port int NOT NULL DEFAULT 1,
  enabled tinyint(1) NOT NULL DEFAULT 1,
  rfmodem tinyint(1) NOT NULL DEFAULT 0,
  lastupdate datetime NULL,
  KEY loop_name (name)
);

CREATE TABLE IF NOT EXISTS settings (
  id int NOT NULL AUTO_INCREMENT PRIMARY KEY,
  reset_dadid tinyint(1) NOT NULL DEFAULT 0,
  AUTO_RESET tinyint(1) NOT NULL DEFAULT 0,
  AUTO_RESET_GROUP tinyint(1) NOT NULL DEFAULT 0,
  AUTO_RESET_PATHWAY tinyint(1) NOT NULL DEFAULT 0,
  reset_time time NULL,
  AUTO_NOW tinyint(1) NOT NULL DEFAULT 0,
  AUTO_NOW_GRP tinyint(1) NOT NULL DEFAULT 0,
  soft_pb tinyint(1) NOT NULL DEFAULT 0,
  soft_group tinyint(1) NOT NULL DEFAULT 0,
  soft_path tinyint(1) NOT NULL DEFAULT 0,
  stup_pbrst int NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS lot (
  id int NOT NULL PRIMARY KEY,
  name varchar(40) NOT NULL DEFAULT '',
  lot_count int NOT NULL DEFAULT 0,
  max_capacity int NOT NULL DEFAULT 0,
  AUTO_R_COUNT tinyint(1) NOT NULL DEFAULT 0,
  auto_r_time time NULL,
  reset_amt int NOT NULL DEFAULT 0,
  cnt_reset_flag tinyint(1) NOT NULL DEFAULT 0,
  cnt_reset_time time NULL,
  cnt_reset_amt int NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS device (
  id int NOT NULL PRIMARY KEY,
  loop_id int NOT NULL DEFAULT 0,
  lot_id int NOT NULL DEFAULT 0,
  addr_ess int NOT NULL DEFAULT 0,
  name varchar(40) NOT NULL DEFAULT '',
  dir_ection int NOT NULL DEFAULT 0,
  device_type int NOT NULL DEFAULT 0,
  msg_id int NOT NULL DEFAULT 0,
  open_pulse double NOT NULL DEFAULT 1,
  special_out int NOT NULL DEFAULT 0,
  no_path tinyint(1) NOT NULL DEFAULT 0,
  debit_flag tinyint(1) NOT NULL DEFAULT 0,
  perm_open tinyint(1) NOT NULL DEFAULT 0,
  open_flag tinyint(1) NOT NULL DEFAULT 0,
  gate_up int NOT NULL DEFAULT 0,
  online_flag int NOT NULL DEFAULT 0,
  count1 int NOT NULL DEFAULT 0,
  count2 int NOT NULL DEFAULT 0,
  count3 int NOT NULL DEFAULT 0,
  count4 int NOT NULL DEFAULT 0,
  count5 int NOT NULL DEFAULT 0,
  count_soft int NOT NULL DEFAULT 0,
  lf_enabled int NOT NULL DEFAULT 0,
  lf_output int NOT NULL DEFAULT 0,
  lf_output_flag tinyint(1) NOT NULL DEFAULT 0,
  lf_sign int NOT NULL DEFAULT 0,
  lf_sign_flag tinyint(1) NOT NULL DEFAULT 0,
  door_input int NOT NULL DEFAULT 0,
  ajar_timer int NOT NULL DEFAULT 0,
  ajar_output int NOT NULL DEFAULT 0,
  door_ajar int NOT NULL DEFAULT 0,
  alarm_ack int NOT NULL DEFAULT 0,
  fire_input int NOT NULL DEFAULT 0,
  fire_flag tinyint(1) NOT NULL DEFAULT 0,
  remote_user varchar(40) NOT NULL DEFAULT '',
  remote_ip varchar(45) NOT NULL DEFAULT '',
  ptr_paper int NULL,
  ptr_hdwr int NULL,
  ptr_fail int NULL,
  ptr_stat int NULL,
  ptr_paper2 int NULL,
  ptr_hdwr2 int NULL,
  ptr_fail2 int NULL,
  ptr_stat2 int NULL,
  KEY device_loop_addr (loop_id, addr_ess),
  KEY device_lot (lot_id)
);

CREATE TABLE IF NOT EXISTS messages (
  id int NOT NULL PRIMARY KEY,
  idle varchar(40) NOT NULL DEFAULT '',
  gateup varchar(40) NOT NULL DEFAULT '',
  accepted varchar(40) NOT NULL DEFAULT '',
  not_on_file varchar(40) NOT NULL DEFAULT '',
  access varchar(40) NOT NULL DEFAULT '',
  inac_tive varchar(40) NOT NULL DEFAULT '',
  passback varchar(40) NOT NULL DEFAULT '',
  max_group varchar(40) NOT NULL DEFAULT '',
  not_on_path varchar(40) NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS spots (
  number int NOT NULL,
  floor int NOT NULL DEFAULT 0,
  KEY spots_number (number)
);

CREATE TABLE IF NOT EXISTS tickinv (
  id int NOT NULL AUTO_INCREMENT PRIMARY KEY,
  barcode varchar(16) NOT NULL DEFAULT '',
  ticket int NOT NULL DEFAULT 0,
  issuerid int NULL,
  takerid int NULL,
  status int NOT NULL DEFAULT 0,
  in_date datetime NULL,
  out_date datetime NULL,
  l_date datetime NULL,
  online int NULL,
  security int NOT NULL DEFAULT 0,
  tran_id int NULL,
  UNIQUE KEY tickinv_barcode (barcode),
  KEY tickinv_ticket (ticket)
);

CREATE TABLE IF NOT EXISTS trans (
  id int NOT NULL AUTO_INCREMENT PRIMARY KEY,
  card_no double NULL,
  dat_e datetime NULL,
  device_id int NOT NULL DEFAULT 0,
  error_code int NOT NULL DEFAULT 0,
  error_desc varchar(40) NOT NULL DEFAULT '',
  cardno double NULL,
  device_name varchar(40) NOT NULL DEFAULT '',
  first_name varchar(40) NOT NULL DEFAULT '',
  last_name varchar(60) NOT NULL DEFAULT '',
  mem_flag tinyint(1) NOT NULL DEFAULT 0,
  KEY trans_date (dat_e)
);

CREATE TABLE IF NOT EXISTS card_type (
  id int NOT NULL PRIMARY KEY,
  name varchar(40) NOT NULL DEFAULT '',
  access_level_id int NOT NULL DEFAULT 0,
  msg_id int NOT NULL DEFAULT 0,
  days int NOT NULL DEFAULT 0,
  global_expiry tinyint(1) NOT NULL DEFAULT 0,
  first_use_flg tinyint(1) NOT NULL DEFAULT 0,
  no_expiry_flg tinyint(1) NOT NULL DEFAULT 0,
  date_set tinyint(1) NOT NULL DEFAULT 0,
  start_dt datetime NULL,
  exp_iry datetime NULL,
  prev_strt datetime NULL,
  prev_exp datetime NULL,
  debit_flg tinyint(1) NOT NULL DEFAULT 0,
  debit_reset_flag tinyint(1) NOT NULL DEFAULT 0,
  uses int NOT NULL DEFAULT 0,
  debit_time_limit int NOT NULL DEFAULT 0,
  debit_time_limit_flg tinyint(1) NOT NULL DEFAULT 0,
  pathway_id int NOT NULL DEFAULT 0,
  ignore_passback tinyint(1) NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS card (
  id int NOT NULL AUTO_INCREMENT PRIMARY KEY,
  number double NOT NULL,
  type_id int NOT NULL DEFAULT 0,
  first_name varchar(40) NOT NULL DEFAULT '',
  last_name varchar(60) NOT NULL DEFAULT '',
  str_eet varchar(80) NOT NULL DEFAULT '',
  misc_1 varchar(40) NOT NULL DEFAULT '',
  misc_2 varchar(40) NOT NULL DEFAULT '',
  misc_3 varchar(40) NOT NULL DEFAULT '',
  misc_4 varchar(40) NOT NULL DEFAULT '',
  space_no int NOT NULL DEFAULT 0,
  date_set tinyint(1) NOT NULL DEFAULT 0,
  start_dt datetime NULL,
  exp_iry datetime NULL,
  prev_strt datetime NULL,
  prev_exp datetime NULL,
  debit_left int NOT NULL DEFAULT 0,
  debit_date datetime NULL,
  debit_reset_date datetime NULL,
  group_id int NOT NULL DEFAULT 0,
  in_gate int NOT NULL DEFAULT -1,
  in_lot int NOT NULL DEFAULT 0,
  trans_dt datetime NULL,
  KEY card_number (number)
);

CREATE TABLE IF NOT EXISTS holiday (
  holi_day date NOT NULL,
  tab_num int NOT NULL DEFAULT 1,
  KEY holiday_day (holi_day)
);

CREATE TABLE IF NOT EXISTS a_l_range (
  id int NOT NULL PRIMARY KEY,
  access_level_id int NOT NULL DEFAULT 0,
  day_1 tinyint(1) NOT NULL DEFAULT 0,
  day_2 tinyint(1) NOT NULL DEFAULT 0,
  day_3 tinyint(1) NOT NULL DEFAULT 0,
  day_4 tinyint(1) NOT NULL DEFAULT 0,
  day_5 tinyint(1) NOT NULL DEFAULT 0,
  day_6 tinyint(1) NOT NULL DEFAULT 0,
  day_7 tinyint(1) NOT NULL DEFAULT 0,
  day_8 tinyint(1) NOT NULL DEFAULT 0,
  day_9 tinyint(1) NOT NULL DEFAULT 0,
  start_time time NULL,
  end_time time NULL,
  KEY a_l_range_level (access_level_id)
);

CREATE TABLE IF NOT EXISTS a_l_range_device (
  a_l_range_id int NOT NULL,
  device_id int NOT NULL,
  KEY a_l_range_device_key (a_l_range_id, device_id)
);

CREATE TABLE IF NOT EXISTS card_pool (
  id int NOT NULL PRIMARY KEY,
  max_inlot int NOT NULL DEFAULT 0,
  cur_inlot int NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS pathway_ft (
  pathway_id int NOT NULL,
  from_device int NOT NULL,
  to_device int NOT NULL,
  time_limit int NOT NULL DEFAULT 0,
  KEY pathway_ft_key (pathway_id, from_device, to_device)
);

CREATE TABLE IF NOT EXISTS counters (
  id int NOT NULL PRIMARY KEY,
  lot_id int NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS counter_item (
  device_id int NOT NULL,
  input int NOT NULL,
  cntr_id int NOT NULL,
  chg_lot int NOT NULL DEFAULT 0,
  KEY counter_item_key (device_id, input)
);

CREATE TABLE IF NOT EXISTS gateoc (
  device_id int NOT NULL,
  dayofweek int NOT NULL,
  start_time time NULL,
  end_time time NULL,
  KEY gateoc_key (device_id, dayofweek)
);

-- The offline decisions a computer has booked here, each once.
CREATE TABLE IF NOT EXISTS velix_journal (
  computer varchar(64) NOT NULL,
  sequence bigint NOT NULL,
  decided_at datetime NULL,
  applied_at datetime NULL,
  PRIMARY KEY (computer, sequence)
);
